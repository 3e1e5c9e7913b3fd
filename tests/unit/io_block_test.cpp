#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "events/channel.h"
#include "fakes.h"
#include "realtime/io_block.h"

namespace audiotap::realtime {
namespace {

using platform::AudioBufferList;
using platform::ConverterOutputStatus;

Meter::Clock::time_point fakeNow;
Meter::Clock::time_point readFakeNow() { return fakeNow; }

// The writer's queue: its one task on a thread of its own, drained by joining.
class ThreadQueue : public platform::Queue {
 public:
  ~ThreadQueue() override { drain(std::chrono::milliseconds(0)); }
  void async(std::function<void()> task) override { thread = std::thread(std::move(task)); }
  bool drain(std::chrono::milliseconds) override {
    if (thread.joinable()) thread.join();
    return true;
  }
  std::thread thread;
};

testing::FakeConverter* fakeConversion(realtime::TapConversion& conversion, double tapRate,
                                       std::uint32_t bytesPerFrame) {
  auto owned = std::make_unique<testing::FakeConverter>();
  testing::FakeConverter* converter = owned.get();
  conversion.tapStreamFormat = platform::StreamDescription{tapRate, platform::kAudioFormatLinearPCM, 0, bytesPerFrame, 1,
                                                           bytesPerFrame, 1, 32, 0};
  conversion.tapFormat = std::make_unique<testing::FakeFormat>();
  conversion.converter = std::move(owned);
  return converter;
}

// An IO block with its writer running; finish() stops the writer, so that
// everything delivered before it has been written.
struct Rig {
  explicit Rig(double tapRate = 48000, std::uint32_t bytesPerFrame = 4, double targetRate = 16000,
               double bufferedSeconds = 4, bool startWriter = true)
      : writer(targetRate, bufferedSeconds, pcm, meter),
        block(conversionFor(tapRate, bytesPerFrame), std::make_unique<testing::FakeFormat>(), media, targetRate,
              writer) {
    events::setStandardError(&events);
    if (startWriter) start();
  }
  void start() {
    writerQueue.async([this] { writer.run(); });
  }
  ~Rig() {
    if (writerQueue.thread.joinable()) finish();
    events::setStandardError(nullptr);
  }

  realtime::TapConversion conversionFor(double tapRate, std::uint32_t bytesPerFrame) {
    realtime::TapConversion conversion;
    converter = fakeConversion(conversion, tapRate, bytesPerFrame);
    return conversion;
  }

  void deliver(std::uint32_t bytes, std::uint32_t buffers = 1, char fill = 0) {
    data.assign(bytes + 1, fill);
    AudioBufferList list{buffers, {{1, bytes, data.data()}}};
    block(&list);
  }
  std::int64_t finish() {
    if (!writerQueue.thread.joinable()) start();
    return writer.finish(writerQueue, Meter::Clock::now() + std::chrono::seconds(1)); }

  testing::FakeMedia media;
  testing::RecordingHandle pcm;
  testing::RecordingHandle events;
  Meter meter{readFakeNow};
  testing::FakeConverter* converter = nullptr;
  PcmWriter writer;
  IoBlock block;
  ThreadQueue writerQueue;
  std::vector<char> data;
};

TEST(IoBlock, OddBufferListsDoNothing) {
  const struct {
    const char* what;
    std::uint32_t bytesPerFrame, bytes, buffers;
  } cases[] = {
      {"no buffers", 4, 1920, 0},
      {"empty first buffer", 4, 0, 1},
      {"less than a frame", 4, 3, 1},
  };
  for (const auto& c : cases) {
    Rig rig(48000, c.bytesPerFrame);
    rig.converter->samples = {1, 2, 3};
    fakeNow += std::chrono::seconds(5);
    rig.deliver(c.bytes, c.buffers);
    rig.finish();
    EXPECT_EQ(rig.converter->calls, 0) << c.what;
    EXPECT_TRUE(rig.pcm.writes.empty()) << c.what;
    EXPECT_TRUE(rig.events.writes.empty()) << c.what;
    EXPECT_EQ(rig.meter.frames, 0) << c.what;
  }
}

TEST(IoBlock, FrameCountAndCapacity) {
  const struct {
    double tapRate;
    std::uint32_t bytesPerFrame, bytes;
    double targetRate;
    std::uint32_t frames, capacity;
  } cases[] = {
      {48000, 4, 512 * 4, 16000, 512, 187}, {48000, 4, 480 * 4, 16000, 480, 176},
      {44100, 4, 441 * 4, 16000, 441, 176}, {44100, 4, 512 * 4, 16000, 512, 202},
      {48000, 4, 10, 16000, 2, 17},         {48000, 0, 30, 16000, 30, 26},
      {8000, 8, 80 * 8, 44100, 80, 457},
  };
  for (const auto& c : cases) {
    Rig rig(c.tapRate, c.bytesPerFrame, c.targetRate);
    rig.deliver(c.bytes);
    ASSERT_EQ(rig.media.capacities.size(), 1u);
    EXPECT_EQ(rig.media.capacities[0], c.capacity) << c.tapRate << " " << c.bytes;
    EXPECT_EQ(rig.media.lastInputFrames, c.frames);
  }
}

TEST(IoBlock, InputGoesToTheConverterOnceAndWhole) {
  Rig rig;
  rig.converter->samples = {7};
  rig.deliver(1920);
  EXPECT_EQ(rig.converter->firstInput, rig.media.lastInput);
  EXPECT_EQ(rig.converter->firstStatus, platform::ConverterInputStatus::HaveData);
  EXPECT_EQ(rig.converter->secondInput, nullptr);
  EXPECT_EQ(rig.converter->secondStatus, platform::ConverterInputStatus::NoDataNow);
  EXPECT_EQ(rig.media.lastWrappedData, rig.data.data()) << "wrapped in place";
}

TEST(IoBlock, SamplesAreWrittenLittleEndianInOneWrite) {
  Rig rig;
  rig.converter->samples = {-32768, 1, -1, 32767, 0};
  rig.deliver(1920);
  rig.finish();
  ASSERT_EQ(rig.pcm.writes.size(), 1u);
  EXPECT_EQ(rig.pcm.writes[0], std::string("\x00\x80\x01\x00\xFF\xFF\xFF\x7F\x00\x00", 10));
  EXPECT_EQ(rig.meter.frames, 5);
  EXPECT_EQ(rig.meter.peak, 1.0f);
}

TEST(IoBlock, ConverterOutcomes) {
  const struct {
    const char* what;
    ConverterOutputStatus status;
    std::vector<std::int16_t> samples;
    std::optional<std::string> error;
    bool channelData;
    std::size_t bytes;
    std::vector<std::string> events;
  } cases[] = {
      {"have data", ConverterOutputStatus::HaveData, {1, 2}, {}, true, 4, {"level"}},
      {"ran dry with frames", ConverterOutputStatus::InputRanDry, {1, 2, 3}, {}, true, 6, {"level"}},
      {"end of stream with frames", ConverterOutputStatus::EndOfStream, {1}, {}, true, 2, {"level"}},
      {"error", ConverterOutputStatus::Error, {1, 2}, "bad input", true, 0, {"error"}},
      {"no frames with error", ConverterOutputStatus::InputRanDry, {}, "dry", true, 0, {"error"}},
      {"no frames, no error", ConverterOutputStatus::InputRanDry, {}, {}, true, 0, {}},
      {"no channel data", ConverterOutputStatus::HaveData, {1}, {}, false, 0, {}},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.converter->status = c.status;
    rig.converter->samples = c.samples;
    rig.converter->errorMessage = c.error;
    rig.converter->withChannelData = c.channelData;
    fakeNow += std::chrono::seconds(2);  // a level report is due if anything is written
    rig.deliver(1920);
    rig.finish();
    EXPECT_EQ(rig.pcm.bytes().size(), c.bytes) << c.what;
    EXPECT_EQ(rig.meter.frames, std::int64_t(c.bytes / 2)) << c.what;
    const auto events = rig.events.events();
    ASSERT_EQ(events.size(), c.events.size()) << c.what;
    for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i]["type"], c.events[i]) << c.what;
    if (c.error) {
      EXPECT_EQ(events[0], nlohmann::json({{"type", "error"}, {"message", *c.error}})) << c.what;
    }
  }
}

TEST(IoBlock, FailingBufferCreationOrUnsizableOutputDoesNothing) {
  {
    Rig rig;
    rig.media.makeSucceeds = false;
    rig.deliver(1920);
    EXPECT_EQ(rig.converter->calls, 0);
  }
  for (const double tapRate : {0.0, -1.0, std::nan("")}) {
    Rig rig(tapRate);
    rig.deliver(1920);
    EXPECT_TRUE(rig.media.capacities.empty()) << tapRate;
  }
  {
    Rig rig(1, 4, 1e300);
    rig.deliver(1920);
    EXPECT_TRUE(rig.media.capacities.empty());
  }
}

// Each run of unwrappable lists, and each run of blocks the full ring refused,
// gives one "error"; what was refused is neither written nor counted.
TEST(IoBlock, ReportsEachEpisodeOfLostAudioOnce) {
  Rig rig(48000, 4, 16000, 0, false);  // the smallest ring: 32768 samples
  rig.converter->samples.assign(176, 1);
  for (const bool wraps : {false, false, true, false, true}) {
    rig.media.wrapSucceeds = wraps;
    rig.deliver(1920);
  }
  for (int i = 0; i < 200; ++i) rig.deliver(1920);  // 184 fit beside the two above
  const std::int64_t frames = rig.finish();
  EXPECT_EQ(frames, 186 * 176);
  EXPECT_EQ(rig.pcm.bytes().size(), std::size_t(2 * frames));
  const nlohmann::json unwrappable = {{"type", "error"}, {"message", kUnwrappableBuffers}};
  const nlohmann::json dropped = {{"type", "error"}, {"message", kSamplesDropped}};
  EXPECT_EQ(rig.events.events(), (std::vector<nlohmann::json>{dropped, unwrappable, unwrappable}));
}

// A new conversion is taken up at the next call; the old one is freed off the
// IO thread. Exact zeros are timed in audio, anything else ends the run.
TEST(IoBlock, TakesUpANewConversionAndTimesSilence) {
  Rig rig;
  rig.converter->samples = {1};
  rig.deliver(1920);
  TapConversion next;
  testing::FakeConverter* replacement = fakeConversion(next, 24000, 8);
  replacement->samples = {2, 3};
  rig.block.replaceConversion(std::move(next));
  EXPECT_EQ(rig.block.silentNanoseconds(), 10'000'000);
  rig.deliver(1920);
  EXPECT_EQ(rig.block.silentNanoseconds(), 20'000'000) << "240 frames at 24 kHz";
  EXPECT_EQ(rig.media.lastInputFrames, 240u);
  rig.block.collectRetired();
  rig.deliver(1920, 1, 1);
  EXPECT_EQ(rig.block.silentNanoseconds(), 0);
  rig.finish();
  EXPECT_EQ(rig.pcm.bytes(), std::string("\x01\x00\x02\x00\x03\x00\x02\x00\x03\x00", 10));
}

}  // namespace
}  // namespace audiotap::realtime
