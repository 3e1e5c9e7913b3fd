// What Core Audio's source makes of the HAL's notifications: each becomes one
// report, read on the main queue, and none comes from a build that has been
// closed.
#include "capture/core_audio_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/sim/hal.h"
#include "platform/sim/host.h"
#include "platform/sim/script.h"
#include "platform/sim/tone.h"
#include "platform/sim/trace.h"

namespace audiotap::capture {
namespace {

using namespace std::chrono_literals;
using Kind = platform::SourceReport::Kind;

// The platform's queues, and a main queue the test serves itself.
class TestDispatch final : public platform::Dispatch {
 public:
  std::unique_ptr<platform::Queue> makeSerialQueue(const std::string& label) override {
    return system_->makeSerialQueue(label);
  }
  void ignoreSignal(int) override {}
  std::unique_ptr<platform::Source> makeSignalSource(int, std::function<void()>) override { return nullptr; }
  std::unique_ptr<platform::Source> makeReadSource(int, std::function<void()>) override { return nullptr; }
  std::vector<std::unique_ptr<platform::Source>> makeStopSources(std::function<void()>) override {
    return {};
  }
  std::unique_ptr<platform::Source> makeInputEndSource(std::function<void()>) override { return nullptr; }
  void ignoreBrokenPipe() override {}
  // The filter's periodic pass is not wanted here.
  void asyncAfterOnMain(std::chrono::nanoseconds, std::function<void()>) override {}
  void asyncOnMain(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    main_.push_back(std::move(task));
  }
  [[noreturn]] void runMain() override { std::abort(); }

  // Runs what the main queue holds, waiting up to `wait` for something to
  // come; false when nothing came.
  bool serveMain(std::chrono::milliseconds wait = 5s) {
    for (auto end = std::chrono::steady_clock::now() + wait;;) {
      std::deque<std::function<void()>> tasks;
      {
        std::lock_guard lock(mutex_);
        tasks.swap(main_);
      }
      for (auto& task : tasks) task();
      if (!tasks.empty()) return true;
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(5ms);
    }
  }

  std::size_t queuedOnMain() {
    std::lock_guard lock(mutex_);
    return main_.size();
  }

 private:
  std::unique_ptr<platform::Dispatch> system_ = platform::sim::host::makeDispatch();
  std::mutex mutex_;
  std::deque<std::function<void()>> main_;
};

struct Captured {
  std::vector<platform::SourceReport> reports;
  std::atomic<int> deliveries{0};
  std::atomic<std::uint32_t> widest{0};
  // With the microphone, written on the IO queue and read once it is closed:
  // the output's first channel and the microphone's, frame by frame, and
  // the deliveries whose lists disagreed in length.
  std::vector<float> output, microphone;
  int uneven = 0;
  std::atomic<std::size_t> frames{0};
};

// The frames of a 32-bit float list, and its first channel.
std::uint32_t framesOf(const platform::AudioBufferList* list, std::uint32_t bytesPerFrame) {
  return list != nullptr && list->mNumberBuffers > 0 ? list->mBuffers[0].mDataByteSize / bytesPerFrame : 0;
}

struct Capture {
  explicit Capture(const char* text) : script(*platform::sim::parseScript(text).script), hal(script, trace) {}

  [[nodiscard]] bool start(bool followOutput, bool microphone = false) {
    ioQueue = dispatch.makeSerialQueue("io");
    if (source.open({nullptr, followOutput, microphone},
                    [this](const platform::SourceReport& r) { seen.reports.push_back(r); }))
      return false;
    const platform::StreamDescription format = source.format();
    const std::uint32_t channels = source.microphoneFormat().mChannelsPerFrame;
    const auto deliver = [this, format, channels, microphone](const platform::AudioBufferList* list,
                                                              const platform::AudioBufferList* heard) {
      ++seen.deliveries;
      if (list != nullptr && list->mNumberBuffers > seen.widest) seen.widest = list->mNumberBuffers;
      if ((heard != nullptr) != microphone) ++seen.uneven;
      if (!microphone || heard == nullptr) return;
      const std::uint32_t frames = framesOf(list, format.mBytesPerFrame);
      if (heard->mNumberBuffers != 1 || framesOf(heard, 4 * channels) != frames) ++seen.uneven;
      const std::uint32_t step = format.mBytesPerFrame / 4;
      for (std::uint32_t i = 0; i < frames; ++i) {
        seen.output.push_back(static_cast<const float*>(list->mBuffers[0].mData)[i * step]);
        seen.microphone.push_back(static_cast<const float*>(heard->mBuffers[0].mData)[i * channels]);
      }
      seen.frames += frames;
    };
    return !source.attach(*ioQueue, deliver) && !source.start();
  }

  platform::sim::Script script;
  platform::sim::Trace trace;
  platform::sim::SimHal hal;
  TestDispatch dispatch;
  std::unique_ptr<platform::Queue> ioQueue;
  CoreAudioSource source{hal, dispatch, [] { return std::string("4D1A4C4E-0000-4000-8000-000000000001"); }};
  Captured seen;
};

TEST(CoreAudioSource, TurnsEachNotificationIntoOneReport) {
  const struct {
    const char* script;
    bool follow;
    Kind kind;
    std::string message;
  } cases[] = {
      {"restart=3", false, Kind::SystemRestarted, kServiceRestarted},
      {"die=3:aggregate", false, Kind::DeviceLost, kAggregateDead},
      {"die=3:device", false, Kind::DeviceLost, "the output device \"SimOutputDevice\" is no longer alive"},
      {"die=3:device:'nope'", false, Kind::DeviceLost,
       "the output device \"SimOutputDevice\" is no longer alive"},
      {"lose=3:the server went away", false, Kind::DeviceLost, "the server went away"},
      {"reformat=3:44100,2,8,float", false, Kind::FormatChanged, ""},
      {"switch=3:Elsewhere", true, Kind::DefaultOutputChanged, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Capture capture(c.script);
    ASSERT_TRUE(capture.start(c.follow));
    while (capture.seen.reports.empty() && capture.dispatch.serveMain()) {
    }
    ASSERT_EQ(capture.seen.reports.size(), 1u);
    EXPECT_EQ(capture.seen.reports[0].kind, c.kind);
    EXPECT_EQ(capture.seen.reports[0].message, c.message);
    const double rate = c.kind == Kind::FormatChanged ? 44100 : 48000;
    EXPECT_EQ(capture.source.format().mSampleRate, rate);
    EXPECT_EQ(capture.source.defaultOutputUID(), c.follow ? "Elsewhere" : "SimOutputDevice");
    capture.source.close(std::chrono::steady_clock::now() + 1s);
  }
}

// The aggregate device's lists carry two microphone streams before the tap's.
TEST(CoreAudioSource, HandsOnTheTapsBuffersAlone) {
  Capture capture("streams=3;format=48000,2,4,float,planar;pace=fast;count=20");
  ASSERT_TRUE(capture.start(false));
  for (int i = 0; i < 500 && capture.seen.deliveries < 20; ++i) std::this_thread::sleep_for(10ms);
  capture.source.close(std::chrono::steady_clock::now() + 1s);
  EXPECT_EQ(capture.seen.deliveries, 20);
  EXPECT_EQ(capture.seen.widest, 2u);
}

TEST(CoreAudioSource, OpensTheDefaultInputOrSaysThereIsNone) {
  const struct {
    const char* script;
    bool opens;
    double rate;
    std::uint32_t channels;
  } cases[] = {
      {"mic=none", false, 0, 0},
      {"mic='nope'", false, 0, 0},
      {"", true, 48000, 1},
      {"streams=3", true, 48000, 1},
      // The aggregate device carries the microphone at the tap's rate.
      {"format=44100,2,8,float;mic.format=16000,2", true, 44100, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Capture capture(c.script);
    const platform::SourceResult opened = capture.source.open({nullptr, false, true}, nullptr);
    ASSERT_EQ(!opened, c.opens);
    if (!c.opens) {
      EXPECT_EQ(opened->message, platform::kNoMicrophone);
      continue;
    }
    EXPECT_EQ(capture.source.inputDeviceUID(), "SimMicrophone");
    const platform::StreamDescription format = capture.source.microphoneFormat();
    EXPECT_EQ(format.mSampleRate, c.rate);
    EXPECT_EQ(format.mChannelsPerFrame, c.channels);
    EXPECT_NE(format.mFormatFlags & platform::kAudioFormatFlagIsFloat, 0u);
    EXPECT_EQ(format.mFormatFlags & platform::kAudioFormatFlagIsNonInterleaved, 0u);
    EXPECT_EQ(format.mBytesPerFrame, 4 * c.channels);
    capture.source.close(std::chrono::steady_clock::now() + 1s);
  }
}

// Each delivery holds the tap's frames and as many of the microphone's, each
// taken from its own buffer of the aggregate device's list; a lost
// microphone is reported once and its frames are zeros from then on, also
// when a delivery is longer than the silence kept for it.
TEST(CoreAudioSource, HandsOnTheMicrophoneBesideTheTap) {
  const struct {
    const char* script;
    std::size_t heardFrames;  // before the microphone is lost
  } cases[] = {
      {"streams=3;format=48000,2,4,float,planar;mic.format=44100,2;count=20", 20 * 480},
      {"streams=2;count=20;mic.lose=6", 6 * 480},
      {"count=4;frames=20000;mic.lose=2", 2 * 20000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Capture capture((std::string(c.script) + ";pace=fast;tone=1000;amp=0.5").c_str());
    ASSERT_TRUE(capture.start(false, true));
    const bool loses = capture.script.microphoneLoseAfter.has_value();
    while (capture.seen.reports.size() < (loses ? 1u : 0u) && capture.dispatch.serveMain()) {
    }
    const std::size_t frames = *capture.script.bufferCount * capture.script.framesPerBuffer;
    for (int i = 0; i < 500 && capture.seen.frames < frames; ++i) std::this_thread::sleep_for(10ms);
    capture.source.close(std::chrono::steady_clock::now() + 1s);
    capture.dispatch.serveMain(0ms);
    ASSERT_EQ(capture.seen.reports.size(), loses ? 1u : 0u);
    if (loses) {
      EXPECT_EQ(capture.seen.reports[0].kind, Kind::MicrophoneLost);
      EXPECT_EQ(capture.seen.reports[0].message, platform::kMicrophoneLost);
    }
    EXPECT_EQ(capture.seen.uneven, 0);
    ASSERT_EQ(capture.seen.output.size(), frames);
    ASSERT_EQ(capture.seen.microphone.size(), frames);
    const double rate = capture.source.format().mSampleRate;
    for (std::size_t k = 0; k < frames; ++k) {
      const float tap = float(platform::sim::toneSample(1000, 0.5, rate, k));
      const float heard = k < c.heardFrames ? float(platform::sim::toneSample(440, 0.25, rate, k)) : 0.0f;
      ASSERT_EQ(capture.seen.output[k], tap) << k;
      ASSERT_EQ(capture.seen.microphone[k], heard) << k;
    }
  }
}

// A notification already on its way to the main queue when the capture
// closes, and one that comes after a new open, says nothing about the build
// that is open now.
TEST(CoreAudioSource, ReportsNothingOfAClosedBuild) {
  for (const bool reopen : {false, true}) {
    SCOPED_TRACE(reopen);
    Capture capture("die=3:aggregate");
    ASSERT_TRUE(capture.start(false));
    // The notification has reached the main queue, which has not served it.
    for (int i = 0; i < 500 && capture.dispatch.queuedOnMain() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(capture.dispatch.queuedOnMain(), 1u);
    capture.source.close(std::chrono::steady_clock::now() + 1s);
    if (reopen) {
      ASSERT_FALSE(capture.source.open(
          {}, [&](const platform::SourceReport& r) { capture.seen.reports.push_back(r); }));
    }
    while (capture.dispatch.serveMain(0ms)) {
    }
    EXPECT_TRUE(capture.seen.reports.empty());
    capture.source.close(std::chrono::steady_clock::now() + 1s);
  }
}

}  // namespace
}  // namespace audiotap::capture
