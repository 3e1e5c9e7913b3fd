// The contract on the Linux source, against the private server the test
// command starts (PulseAudio, then PipeWire); every case skips without one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "platform/linux/pulse_source.h"
#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"
#include "source_contract.h"
#include "thread_queue.h"

namespace audiotap::contract {
namespace {

// The tone, from sox through pacat, in a process group of its own.
pid_t player = -1;

void startTone(const std::string& sink) {
  const std::string command =
      "sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 60 sine 997 vol 0.5 | pacat --device='" + sink +
      "' --format=s16le --rate=48000 --channels=2 --latency-msec=50";
  player = ::fork();
  if (player == 0) {
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
}

void stopTone() {
  if (player <= 0) return;
  ::kill(-player, SIGTERM);
  ::kill(player, SIGTERM);
  ::waitpid(player, nullptr, 0);
  player = -1;
}

}  // namespace

Target contractTarget() {
  const auto server = test::givenServer();
  if (!server) return {nullptr, nullptr, nullptr, test::kNoServerReason};
  static const auto dispatch = platform::posix::makePosixDispatch();
  return {
      [] { return std::make_unique<platform::linux::PulseSource>(*dispatch); },
      [sink = server->sink] { startTone(sink); },
      stopTone,
      "",
  };
}

namespace {

using namespace std::chrono_literals;
using platform::AudioBufferList;
using platform::SourceReport;

platform::Dispatch& dispatch() {
  static const auto instance = platform::posix::makePosixDispatch();
  return *instance;
}

// Clause 11 on this backend: the microphone of the virtual room beside the
// monitor. Written on the IO queue, read by the case.
struct MicSeen {
  std::atomic<std::int64_t> frames{0}, micFrames{0};
  std::atomic<bool> mismatched{false}, missing{false};
  std::atomic<float> peak{0}, micPeak{0}, lateMicPeak{0};
  std::atomic<bool> late{false};  // peaks from now on go to lateMicPeak
  std::atomic<int> lost{0}, otherReports{0};
};

float peakOf(const AudioBufferList* list) {
  float peak = 0;
  const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
  for (std::uint32_t i = 0; i < list->mBuffers[0].mDataByteSize / 4; ++i)
    peak = std::max(peak, std::fabs(samples[i]));
  return peak;
}

class LinuxMicrophone : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = test::givenServer();
    if (!server_) GTEST_SKIP() << test::kNoServerReason;
  }
  void TearDown() override {
    if (source_) source_->close(std::chrono::steady_clock::now() + 1s);
    stopTone();
  }

  platform::SourceResult capture(bool microphone) {
    source_ = std::make_unique<platform::linux::PulseSource>(dispatch());
    platform::CaptureRequest request;
    request.microphone = microphone;
    auto opened = source_->open(request, [this](const SourceReport& report) {
      if (report.kind == SourceReport::Kind::MicrophoneLost && report.message == platform::kMicrophoneLost) {
        ++seen_.lost;
      } else if (report.kind != SourceReport::Kind::Notice) {
        ++seen_.otherReports;
      }
    });
    if (opened) return opened;
    if (auto attached = source_->attach(queue_, [this](const AudioBufferList* out,
                                                       const AudioBufferList* mic) {
          seen_.frames += out->mBuffers[0].mDataByteSize / 4;
          seen_.peak = std::max(seen_.peak.load(), peakOf(out));
          if (mic == nullptr) {
            seen_.missing = true;
            return;
          }
          if (mic->mNumberBuffers != 1 || mic->mBuffers[0].mDataByteSize != out->mBuffers[0].mDataByteSize)
            seen_.mismatched = true;
          seen_.micFrames += mic->mBuffers[0].mDataByteSize / 4;
          auto& peak = seen_.late ? seen_.lateMicPeak : seen_.micPeak;
          peak = std::max(peak.load(), peakOf(mic));
        }))
      return attached;
    return source_->start();
  }

  std::optional<test::PrivateServer> server_;
  MicSeen seen_;
  testing::ThreadQueue queue_;
  std::unique_ptr<platform::CaptureSource> source_;
};

TEST_F(LinuxMicrophone, NoMicrophoneWhenTheDefaultSourceIsTheSinksMonitor) {
  test::shell("pactl set-default-source '" + server_->sink + ".monitor'");
  const platform::SourceResult opened = capture(true);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->message, platform::kNoMicrophone);
  EXPECT_EQ(test::sourceOutputs(0), 0);
}

TEST_F(LinuxMicrophone, DeliversTheMicrophoneFrameForFrameOnTheSinksClock) {
  test::Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  startTone(server_->sink);
  const platform::SourceResult started = capture(true);
  ASSERT_FALSE(started) << started->message;
  EXPECT_EQ(source_->inputDeviceUID(), test::Room::kMicrophone);
  const platform::StreamDescription mic = source_->microphoneFormat();
  EXPECT_NE(mic.mFormatFlags & platform::kAudioFormatFlagIsFloat, 0u);
  EXPECT_EQ(mic.mBitsPerChannel, 32u);
  EXPECT_EQ(mic.mSampleRate, source_->format().mSampleRate);
  for (int i = 0; i < 50 && seen_.micPeak.load() < 0.05f; ++i) std::this_thread::sleep_for(100ms);
  // The tone reaches the microphone through the room, 6 dB down.
  EXPECT_GT(seen_.peak.load(), 0.1f);
  EXPECT_GT(seen_.micPeak.load(), 0.05f);
  EXPECT_LT(seen_.micPeak.load(), 1.01f);
  EXPECT_FALSE(seen_.missing.load());
  EXPECT_FALSE(seen_.mismatched.load());
  EXPECT_EQ(seen_.micFrames.load(), seen_.frames.load());
  EXPECT_EQ(seen_.lost.load(), 0);
}

TEST_F(LinuxMicrophone, WithoutTheMicrophoneNoneIsDelivered) {
  test::Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  const int before = test::sourceOutputs();
  const platform::SourceResult started = capture(false);
  ASSERT_FALSE(started) << started->message;
  for (int i = 0; i < 50 && seen_.frames.load() == 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_GT(seen_.frames.load(), 0);
  EXPECT_TRUE(seen_.missing.load());
  EXPECT_TRUE(source_->inputDeviceUID().empty());
  EXPECT_EQ(test::sourceOutputs(before + 1), before + 1);
}

TEST_F(LinuxMicrophone, ALostMicrophoneIsReportedOnceAndTheOutputGoesOn) {
  test::Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  startTone(server_->sink);
  const platform::SourceResult started = capture(true);
  ASSERT_FALSE(started) << started->message;
  for (int i = 0; i < 50 && seen_.micPeak.load() < 0.05f; ++i) std::this_thread::sleep_for(100ms);
  ASSERT_GT(seen_.micPeak.load(), 0.05f);
  room.unplugMicrophone();
  for (int i = 0; i < 50 && seen_.lost.load() == 0; ++i) std::this_thread::sleep_for(100ms);
  seen_.late = true;
  const std::int64_t frames = seen_.frames.load();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(seen_.lost.load(), 1);
  EXPECT_EQ(seen_.otherReports.load(), 0);
  EXPECT_GT(seen_.frames.load() - frames, std::int64_t(source_->format().mSampleRate / 4));
  EXPECT_EQ(seen_.lateMicPeak.load(), 0.f);
  EXPECT_FALSE(seen_.mismatched.load());
}

}  // namespace
}  // namespace audiotap::contract
