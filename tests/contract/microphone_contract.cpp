// Clause 11 of the capture source's contract: the microphone beside the
// output. Linked, with source_contract.cpp, into the suite of each backend
// that captures a microphone on the build machine; contractTarget() is the
// backend's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "source_contract.h"
#include "support/thread_queue.h"

namespace audiotap::contract {
namespace {

using namespace std::chrono_literals;

const Target& microphoneTarget() {
  static const Target instance = contractTarget();
  return instance;
}

std::uint32_t framesOf(const platform::AudioBufferList* list, const platform::StreamDescription& format) {
  if (list == nullptr || list->mNumberBuffers == 0 || format.mBytesPerFrame == 0) return 0;
  return list->mBuffers[0].mDataByteSize / format.mBytesPerFrame;
}

std::uint32_t buffersOf(const platform::StreamDescription& format) {
  return (format.mFormatFlags & platform::kAudioFormatFlagIsNonInterleaved) != 0 ? format.mChannelsPerFrame
                                                                                 : 1;
}

class MicrophoneContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!microphoneTarget().skip.empty()) GTEST_SKIP() << microphoneTarget().skip;
  }
  void TearDown() override {
    if (source_) source_->close(std::chrono::steady_clock::now() + 1s);
  }

  std::unique_ptr<platform::CaptureSource> source_;
  testing::ThreadQueue queue_;
};

TEST_F(MicrophoneContract, OpensTheDefaultInputInFloatFramesAtTheOutputsRate) {
  source_ = microphoneTarget().make();
  ASSERT_TRUE(source_);
  const platform::SourceResult opened =
      source_->open({nullptr, false, true}, [](const platform::SourceReport&) {});
  ASSERT_FALSE(opened) << opened->message;
  EXPECT_FALSE(source_->inputDeviceUID().empty());
  const platform::StreamDescription format = source_->microphoneFormat();
  EXPECT_EQ(format.mFormatID, platform::kAudioFormatLinearPCM);
  EXPECT_NE(format.mFormatFlags & platform::kAudioFormatFlagIsFloat, 0u);
  EXPECT_EQ(format.mBitsPerChannel, 32u);
  EXPECT_GE(format.mChannelsPerFrame, 1u);
  EXPECT_EQ(format.mSampleRate, source_->format().mSampleRate);
}

// Every delivery holds as many of the microphone's frames as of the output's,
// in microphoneFormat(); a capture that did not ask gets no microphone list.
TEST_F(MicrophoneContract, DeliversItFrameForFrameOnlyWhenAsked) {
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked);
    struct Seen {
      std::atomic<int> calls{0};
      std::atomic<int> wrong{0};
      std::atomic<std::int64_t> frames{0};
    } seen;
    source_ = microphoneTarget().make();
    ASSERT_FALSE(source_->open({nullptr, false, asked}, [](const platform::SourceReport&) {}));
    const platform::StreamDescription output = source_->format();
    const platform::StreamDescription microphone = source_->microphoneFormat();
    ASSERT_FALSE(source_->attach(
        queue_, [&](const platform::AudioBufferList* list, const platform::AudioBufferList* heard) {
          if ((heard != nullptr) != asked) {
            ++seen.wrong;
          } else if (asked && (heard->mNumberBuffers != buffersOf(microphone) ||
                               framesOf(heard, microphone) != framesOf(list, output))) {
            ++seen.wrong;
          }
          seen.frames += framesOf(list, output);
          ++seen.calls;
        }));
    ASSERT_FALSE(source_->start());
    for (int i = 0; i < 250 && seen.calls.load() < 10; ++i) std::this_thread::sleep_for(20ms);
    source_->close(std::chrono::steady_clock::now() + 1s);
    EXPECT_GE(seen.calls.load(), 10);
    EXPECT_GT(seen.frames.load(), 0);
    EXPECT_EQ(seen.wrong.load(), 0);
  }
}

}  // namespace
}  // namespace audiotap::contract
