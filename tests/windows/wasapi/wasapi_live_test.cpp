// The WASAPI source on the machine's default render endpoint (under wine 10,
// its PulseAudio null sink): what the contract suite does not check.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "io_allocations.h"
#include "platform/windows/wasapi/wasapi_source.h"
#include "test_platform.h"
#include "tone.h"

namespace audiotap::testing {
namespace {

using namespace std::chrono_literals;

// The frames delivered, and each channel's peak since the last reset.
struct Heard {
  std::atomic<std::int64_t> frames{0};
  std::mutex mutex;
  std::vector<float> peaks;
  std::vector<std::int64_t> notices;
};

class Capture {
 public:
  explicit Capture(const platform::CaptureRequest& request = {}) {
    source_ = platform::windows::makeWasapiSource(dispatch_, processes_);
    opened_ = source_->open(request, [](const platform::SourceReport&) {});
    if (opened_) return;
    format_ = source_->format();
    heard_.peaks.assign(format_.mChannelsPerFrame, 0.f);
    EXPECT_FALSE(source_->attach(queue_, [this](const platform::AudioBufferList* list, const platform::AudioBufferList*) { take(list); }));
    EXPECT_FALSE(source_->start());
  }
  ~Capture() { source_->close(std::chrono::steady_clock::now() + 1s); }

  const platform::SourceResult& opened() const { return opened_; }
  const platform::StreamDescription& format() const { return format_; }
  Heard& heard() { return heard_; }
  std::vector<float> peaks() {
    std::lock_guard lock(heard_.mutex);
    return heard_.peaks;
  }
  void resetPeaks() {
    std::lock_guard lock(heard_.mutex);
    std::fill(heard_.peaks.begin(), heard_.peaks.end(), 0.f);
  }

 private:
  void take(const platform::AudioBufferList* list) {
    onIoThread = true;
    const std::uint32_t channels = format_.mChannelsPerFrame;
    const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
    const std::uint32_t frames = list->mBuffers[0].mDataByteSize / (4 * channels);
    std::lock_guard lock(heard_.mutex);
    for (std::uint32_t i = 0; i < frames; ++i) {
      for (std::uint32_t c = 0; c < channels; ++c)
        heard_.peaks[c] = std::max(heard_.peaks[c], std::fabs(samples[i * channels + c]));
    }
    heard_.frames += frames;
  }

  NoDispatch dispatch_;
  ThisProcessOnly processes_;
  ThreadQueue queue_;
  std::unique_ptr<platform::CaptureSource> source_;
  platform::SourceResult opened_;
  platform::StreamDescription format_{};
  Heard heard_;
};

// While nothing plays, the frames still stand for the time that passed.
TEST(WasapiLive, FramesDividedByTheRateAreTheTimeCaptured) {
  Capture capture;
  ASSERT_FALSE(capture.opened()) << capture.opened()->message;
  std::this_thread::sleep_for(300ms);
  const std::int64_t before = capture.heard().frames.load();
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(3s);
  const std::int64_t frames = capture.heard().frames.load() - before;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double captured = double(frames) / capture.format().mSampleRate;
  // A delivery's worth of slack at either end, and a loaded machine's.
  EXPECT_NEAR(captured, elapsed, 0.03 * elapsed + 0.1);
}

// Float frames as the endpoint mixes them: a half-scale tone stays half-scale
// on every channel, with no gain, clipping or mixdown on the way.
TEST(WasapiLive, ATonesLevelPassesUnchanged) {
  Tone tone(997.0, 0.5f);
  ASSERT_EQ(tone.error(), "");
  Capture capture;
  ASSERT_FALSE(capture.opened()) << capture.opened()->message;
  for (int i = 0; i < 50 && capture.peaks()[0] < 0.4f; ++i) std::this_thread::sleep_for(100ms);
  capture.resetPeaks();
  std::this_thread::sleep_for(1s);
  for (const float peak : capture.peaks()) EXPECT_NEAR(peak, 0.5f, 0.005f);
}

// Buffers are made at open: a steady capture allocates nothing per packet.
TEST(WasapiLive, AllocatesNothingPerPacket) {
  Tone tone(997.0, 0.5f);
  ASSERT_EQ(tone.error(), "");
  Capture capture;
  ASSERT_FALSE(capture.opened()) << capture.opened()->message;
  for (int i = 0; i < 50 && capture.heard().frames.load() == 0; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(200ms);
  const long before = ioAllocations.load();
  const std::int64_t frames = capture.heard().frames.load();
  std::this_thread::sleep_for(1s);
  EXPECT_GT(capture.heard().frames.load(), frames + std::int64_t(capture.format().mSampleRate) / 2);
  EXPECT_EQ(ioAllocations.load(), before);
}

// Process loopback does not exist in wine, and before Windows 10 build
// 20348: the filter is refused at open, and a capture without one still works.
TEST(WasapiLive, AProcessFilterIsRefusedCleanlyWhereThereIsNoProcessLoopback) {
  FixedFilter filter({platform::ProcessID(GetCurrentProcessId())}, {});
  {
    Capture filtered({&filter, false});
    ASSERT_TRUE(filtered.opened());
    const std::string& message = filtered.opened()->message;
    const bool oldWindows = message == "capturing single processes needs Windows 10 build 20348 or later";
    const bool refused = message.rfind("process loopback could not be activated for process ", 0) == 0;
    EXPECT_TRUE(oldWindows || refused) << message;
    EXPECT_EQ(filtered.opened()->status.has_value(), refused);
  }
  Capture plain;
  EXPECT_FALSE(plain.opened());
}

// Windows leaves out one tree per stream; an excluded tree inside an
// included one would be heard. Both are refused before anything is made.
TEST(WasapiLive, RefusesAFilterWindowsCannotKeep) {
  struct Case {
    std::vector<platform::ProcessID> include, exclude;
    std::string message;
  };
  const Case cases[] = {
      {{}, {101, 202}, "only one --exclude-pid is supported on Windows"},
      {{101}, {303}, "an --exclude-pid inside an --include-pid tree is not supported on Windows"},
  };
  for (const Case& c : cases) {
    FixedFilter filter(c.include, c.exclude);
    NoDispatch dispatch;
    ThisProcessOnly processes;
    processes.entries = {{101, 1}, {202, 1}, {250, 101}, {303, 250}};
    auto source = platform::windows::makeWasapiSource(dispatch, processes);
    const platform::SourceResult opened =
        source->open({&filter, false}, [](const platform::SourceReport&) {});
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->message, c.message);
    source->close(std::chrono::steady_clock::now());
  }
}

}  // namespace
}  // namespace audiotap::testing
