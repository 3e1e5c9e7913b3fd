#include "source_contract.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "support/thread_queue.h"

namespace audiotap::contract {
namespace {

using namespace std::chrono_literals;
using platform::CaptureSource;

// What the deliveries showed, written on the IO queue.
struct Seen {
  std::atomic<std::int64_t> frames{0};
  std::atomic<int> calls{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> offQueue{false};
  std::atomic<bool> malformed{false};
  std::atomic<float> peak{0};
};

const Target& target() {
  static const Target instance = contractTarget();
  return instance;
}

class SourceContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!target().skip.empty()) GTEST_SKIP() << target().skip;
  }
  void TearDown() override {
    if (source_) source_->close(std::chrono::steady_clock::now() + 1s);
    if (sounding_ && target().stopSound) target().stopSound();
  }

  void sound() {
    if (target().startSound) target().startSound();
    sounding_ = true;
  }

  // Opens, attaches and starts a fresh source, counting into `seen`.
  void capture(Seen& seen) {
    source_ = target().make();
    ASSERT_TRUE(source_);
    const platform::SourceResult opened = source_->open({}, [](const platform::SourceReport&) {});
    ASSERT_FALSE(opened) << opened->message;
    format_ = source_->format();
    const platform::SourceResult attached = source_->attach(queue_, [this, &seen](const platform::AudioBufferList* list, const platform::AudioBufferList*) {
      record(seen, list);
    });
    ASSERT_FALSE(attached) << attached->message;
    const platform::SourceResult started = source_->start();
    ASSERT_FALSE(started) << started->message;
  }

  void record(Seen& seen, const platform::AudioBufferList* list) {
    if (seen.inside.fetch_add(1) != 0) seen.overlapped = true;
    if (std::this_thread::get_id() != queue_.id()) seen.offQueue = true;
    const bool interleaved = (format_.mFormatFlags & platform::kAudioFormatFlagIsNonInterleaved) == 0;
    const std::uint32_t buffers = interleaved ? 1 : format_.mChannelsPerFrame;
    if (list == nullptr || list->mNumberBuffers != buffers) {
      seen.malformed = true;
    } else {
      const std::uint32_t bytesPerFrame = interleaved ? 4 * format_.mChannelsPerFrame : 4;
      const std::uint32_t bytes = list->mBuffers[0].mDataByteSize;
      if (bytes % bytesPerFrame != 0) seen.malformed = true;
      const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
      float peak = seen.peak.load();
      for (std::uint32_t i = 0; i < bytes / 4; ++i) peak = std::max(peak, std::fabs(samples[i]));
      seen.peak = peak;
      seen.frames += bytes / bytesPerFrame;
    }
    ++seen.calls;
    seen.inside.fetch_sub(1);
  }

  // Members, so that they outlive the deliveries until TearDown closes.
  Seen seen_, again_;
  testing::ThreadQueue queue_;
  std::unique_ptr<CaptureSource> source_;
  platform::StreamDescription format_{};
  bool sounding_ = false;
};

// Clauses 2 and 3: the device and its format.
TEST_F(SourceContract, OpensTheDefaultOutputInFloatFrames) {
  auto source = target().make();
  ASSERT_TRUE(source);
  const platform::SourceResult opened = source->open({}, [](const platform::SourceReport&) {});
  ASSERT_FALSE(opened) << opened->message;
  EXPECT_FALSE(source->deviceUID().empty());
  const std::optional<std::string> current = source->defaultOutputUID();
  ASSERT_TRUE(current);
  EXPECT_EQ(*current, source->deviceUID());
  const platform::StreamDescription format = source->format();
  EXPECT_EQ(format.mFormatID, platform::kAudioFormatLinearPCM);
  EXPECT_NE(format.mFormatFlags & platform::kAudioFormatFlagIsFloat, 0u);
  EXPECT_EQ(format.mBitsPerChannel, 32u);
  EXPECT_GE(format.mChannelsPerFrame, 1u);
  EXPECT_GE(format.mSampleRate, 8000.0);
  EXPECT_LE(format.mSampleRate, 384000.0);
  source->close(std::chrono::steady_clock::now() + 1s);
  source->close(std::chrono::steady_clock::now() + 1s);
}

// Clauses 5 and 6: one call at a time, on the IO queue, the source's frames
// only, at the device's pace whether or not anything plays. The bounds are
// wide: they catch a source that delivers nothing while idle, or twice the
// time, not a slow machine.
TEST_F(SourceContract, DeliversTheTimelineOnTheIoQueueWhileNothingPlays) {
  Seen& seen = seen_;
  ASSERT_NO_FATAL_FAILURE(capture(seen));
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1500ms);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double captured = double(seen.frames.load()) / format_.mSampleRate;
  EXPECT_GT(seen.calls.load(), 0);
  EXPECT_FALSE(seen.overlapped.load());
  EXPECT_FALSE(seen.offQueue.load());
  EXPECT_FALSE(seen.malformed.load());
  EXPECT_GT(captured, elapsed * 0.5);
  EXPECT_LT(captured, elapsed * 1.5 + 0.5);
}

TEST_F(SourceContract, HearsWhatTheOutputPlays) {
  sound();
  Seen& seen = seen_;
  ASSERT_NO_FATAL_FAILURE(capture(seen));
  for (int i = 0; i < 40 && seen.peak.load() < 0.1f; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_GT(seen.peak.load(), 0.1f);
  EXPECT_LT(seen.peak.load(), 1.01f);
}

// Clause 8: nothing runs after close, and the source opens again.
TEST_F(SourceContract, DeliversNothingAfterCloseAndOpensAgain) {
  Seen& seen = seen_;
  ASSERT_NO_FATAL_FAILURE(capture(seen));
  for (int i = 0; i < 50 && seen.calls.load() == 0; ++i) std::this_thread::sleep_for(20ms);
  source_->close(std::chrono::steady_clock::now() + 1s);
  const int calls = seen.calls.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(seen.calls.load(), calls);
  EXPECT_EQ(seen.inside.load(), 0);

  Seen& again = again_;
  const platform::SourceResult reopened = source_->open({}, [](const platform::SourceReport&) {});
  ASSERT_FALSE(reopened) << reopened->message;
  format_ = source_->format();
  ASSERT_FALSE(source_->attach(queue_, [this, &again](const platform::AudioBufferList* list, const platform::AudioBufferList*) { record(again, list); }));
  ASSERT_FALSE(source_->start());
  for (int i = 0; i < 50 && again.calls.load() == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_GT(again.calls.load(), 0);
}

// Clause 8: a teardown of a source only opened, or never opened.
TEST_F(SourceContract, ClosesWhatWasMadeInPart) {
  auto never = target().make();
  never->close(std::chrono::steady_clock::now() + 1s);
  auto opened = target().make();
  ASSERT_FALSE(opened->open({}, [](const platform::SourceReport&) {}));
  opened->close(std::chrono::steady_clock::now() + 1s);
  ASSERT_FALSE(opened->open({}, [](const platform::SourceReport&) {}));
  opened->close(std::chrono::steady_clock::now() + 1s);
}

}  // namespace
}  // namespace audiotap::contract
