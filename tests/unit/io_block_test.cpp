#include "realtime/io_block.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <utility>

#include "realtime/echo_stage.h"

#include "events/channel.h"
#include "fakes.h"

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

// Standard output whose reader takes one write when the test lets it, and
// after that, with `fails`, refuses every write as a closed pipe does.
class GatedHandle : public testing::RecordingHandle {
 public:
  bool writeAll(const void* data, std::size_t size) override {
    std::unique_lock lock(gate);
    ++entered;
    changed.notify_all();
    changed.wait(lock, [&] { return allowed > 0 || open; });
    if (!open) --allowed;
    if (fails) {
      errno = EPIPE;
      return false;
    }
    lock.unlock();
    return testing::RecordingHandle::writeAll(data, size);
  }
  void allowOne() {
    std::lock_guard lock(gate);
    ++allowed;
    changed.notify_all();
  }
  void waitEntered(int count) {
    std::unique_lock lock(gate);
    changed.wait(lock, [&] { return entered >= count; });
  }
  void openUp() {
    std::lock_guard lock(gate);
    open = true;
    changed.notify_all();
  }

  std::mutex gate;
  std::condition_variable changed;
  int entered = 0, allowed = 0;
  bool open = false, fails = false;
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
               double bufferedSeconds = 4, bool startWriter = true,
               testing::RecordingHandle* output = nullptr, std::uint32_t channels = 1)
      : meter(readFakeNow, channels),
        writer(targetRate, bufferedSeconds, output != nullptr ? *output : pcm, meter,
               channels == 2 ? std::make_unique<EchoStage>(nullptr) : nullptr),
        block(conversionFor(tapRate, bytesPerFrame), std::make_unique<testing::FakeFormat>(), media,
              targetRate, writer) {
    if (media.wrapper != nullptr) media.wrapper->bytesPerFrame = bytesPerFrame == 0 ? 1 : bytesPerFrame;
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
  // A list of two streams: a microphone's first, then the tap's.
  void deliverAfterMicrophone(std::uint32_t bytes) {
    data.assign(bytes, 0);
    microphone.assign(bytes, 1);
    struct {
      std::uint32_t count;
      platform::AudioBuffer buffers[2];
    } list{2, {{1, bytes, microphone.data()}, {1, bytes, data.data()}}};
    block(reinterpret_cast<const AudioBufferList*>(&list));
  }
  std::int64_t finish() {
    if (!writerQueue.thread.joinable()) start();
    return writer.finish(writerQueue, Meter::Clock::now() + std::chrono::seconds(1)); }

  testing::FakeMedia media;
  testing::RecordingHandle pcm;
  testing::RecordingHandle events;
  Meter meter;
  testing::FakeConverter* converter = nullptr;
  PcmWriter writer;
  IoBlock block;
  ThreadQueue writerQueue;
  std::vector<char> data, microphone;
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

// The buffers are made once, for the most a conversion takes; a call beyond
// that is converted in pieces, the wrapper re-pointed into its memory.
TEST(IoBlock, SizesItsBuffersOnceAndConvertsLongCallsInPieces) {
  const struct {
    double tapRate;
    std::uint32_t bytesPerFrame;
    double targetRate;
    std::uint32_t piece, capacity, frames, calls, lastFrames;
  } cases[] = {
      {48000, 4, 16000, 16384, 5478, 480, 1, 480},
      {48000, 4, 16000, 16384, 5478, 40000, 3, 7232},
      {44100, 4, 16000, 16384, 5961, 441, 1, 441},
      {8000, 8, 44100, 2972, 16400, 80, 1, 80},
      {1, 4, 65536, 1, 65552, 3, 3, 1},
  };
  for (const auto& c : cases) {
    Rig rig(c.tapRate, c.bytesPerFrame, c.targetRate);
    for (int call = 0; call < 3; ++call) rig.deliver(c.frames * c.bytesPerFrame);
    EXPECT_EQ(rig.media.wrapperCapacities, std::vector<std::uint32_t>{c.piece})
        << c.tapRate << " " << c.targetRate;
    EXPECT_EQ(rig.media.capacities, std::vector<std::uint32_t>{c.capacity})
        << c.tapRate << " " << c.targetRate;
    EXPECT_EQ(rig.converter->calls, 3 * int(c.calls)) << c.frames;
    EXPECT_EQ(rig.media.lastInputFrames, c.lastFrames) << c.frames;
  }
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
      {"words but no failure", ConverterOutputStatus::InputRanDry, {}, "dry", true, 0, {}},
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
    if (c.error && !events.empty()) {
      EXPECT_EQ(events[0], nlohmann::json({{"type", "error"}, {"message", *c.error}})) << c.what;
    }
  }
}

TEST(IoBlock, FailingBufferCreationOrUnsizableOutputDoesNothing) {
  {
    Rig rig;
    rig.media.makeSucceeds = false;
    TapConversion next;
    testing::FakeConverter* replacement = fakeConversion(next, 48000, 4);
    rig.block.replaceConversion(std::move(next));
    rig.deliver(1920);
    EXPECT_EQ(replacement->calls, 0);
  }
  for (const double tapRate : {0.0, -1.0, std::nan("")}) {
    Rig rig(tapRate);
    rig.deliver(1920);
    EXPECT_TRUE(rig.media.capacities.empty()) << tapRate;
    EXPECT_EQ(rig.converter->calls, 0) << tapRate;
  }
  {
    Rig rig(1, 4, 1e300);
    rig.deliver(1920);
    EXPECT_TRUE(rig.media.capacities.empty());
  }
}

// A converter that fails call after call is one "error" per run, in its
// own words, asked for once per run, and reported from the main thread.
TEST(IoBlock, ReportsEachRunOfConverterFailuresOnce) {
  Rig rig;
  rig.converter->errorMessage = "bad input";
  for (const bool fails : {true, true, true, false, true, true}) {
    rig.converter->status = fails ? ConverterOutputStatus::Error : ConverterOutputStatus::HaveData;
    rig.deliver(1920);
  }
  EXPECT_TRUE(rig.events.writes.empty()) << "nothing is written from the IO thread";
  rig.finish();
  EXPECT_EQ(rig.converter->wordsAsked, 2);
  const nlohmann::json failed = {{"type", "error"}, {"message", "bad input"}};
  EXPECT_EQ(rig.events.events(), (std::vector<nlohmann::json>{failed, failed}));
}

// Each run of unwrappable lists, and each run of blocks the full ring refused,
// gives one "error"; what was refused is neither written nor counted.
TEST(IoBlock, ReportsEachEpisodeOfLostAudioOnce) {
  Rig rig(48000, 4, 16000, 0, false);  // the smallest ring: 32768 samples
  rig.converter->samples.assign(176, 1);
  for (const bool wraps : {false, false, true, false, true}) {
    rig.media.wrapper->wraps = wraps;
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
  rig.media.wrapper->bytesPerFrame = 8;
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

// A host that reads a little during one stall frees room for a block a frame
// smaller than the last: still one run of drops, until it has read half.
TEST(IoBlock, OneStallIsOneRunOfDropsWhateverTheBlockSizes) {
  GatedHandle host;
  Rig rig(48000, 4, 16000, 0, true, &host);  // 32768 samples
  std::uint32_t size = 176;
  const auto deliverBlock = [&] {
    size = size == 176 ? 175 : 176;
    rig.converter->samples.assign(size, 1);
    rig.deliver(1920);
  };
  deliverBlock();
  host.waitEntered(1);  // the writer holds the first block in its write
  for (int i = 0; i < 200; ++i) deliverBlock();
  host.allowOne();
  host.waitEntered(2);  // the first block is consumed: room for one more
  for (int i = 0; i < 4; ++i) deliverBlock();
  host.openUp();
  rig.finish();
  EXPECT_EQ(rig.events.events(),
            std::vector<nlohmann::json>({{{"type", "error"}, {"message", kSamplesDropped}}}));
}

// The silence of a move longer than the ring holds is owed, not pushed, and
// goes out before the samples that came after it.
TEST(IoBlock, AMoveLongerThanTheRingIsWrittenAsSilenceInOrder) {
  Rig rig(48000, 4, 8000, 4, false);  // 32768 samples: 4.1 s at 8 kHz
  rig.converter->samples = {5};
  rig.deliver(1920);
  rig.block.fillGapSince(std::chrono::steady_clock::now() - std::chrono::seconds(6));
  rig.deliver(1920);
  rig.deliver(1920);
  const std::int64_t frames = rig.finish();
  EXPECT_TRUE(rig.events.writes.empty()) << rig.events.bytes();
  const std::string pcm = rig.pcm.bytes();
  ASSERT_EQ(pcm.size(), std::size_t(2 * frames));
  // 6 s less the 10 ms buffer that ends the move, and however long the test
  // took to get there.
  EXPECT_GE(frames, 3 + 47920);
  EXPECT_LE(frames, 3 + 47920 + 8000);
  EXPECT_EQ(pcm.substr(0, 2), std::string("\x05\x00", 2));
  EXPECT_EQ(pcm.find_first_not_of('\0', 2), pcm.size() - 4);
  EXPECT_EQ(pcm.substr(pcm.size() - 4), std::string("\x05\x00\x05\x00", 4));
}

// A failed write ends the writing: the samples are not counted, the driver is
// told, and the stop reports it once.
TEST(IoBlock, AFailedWriteIsNotCountedAndEndsTheWriting) {
  GatedHandle host;
  host.fails = true;
  host.openUp();
  Rig rig(48000, 4, 16000, 4, false, &host);
  std::atomic<int> told{0};
  rig.writer.onWriteFailure = [&] { ++told; };
  rig.converter->samples = {1, 2, 3};
  rig.deliver(1920);
  rig.deliver(1920);
  EXPECT_EQ(rig.finish(), 0);
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(rig.writer.writeFailed());
  EXPECT_EQ(host.entered, 1);
  EXPECT_EQ(rig.events.events(),
            std::vector<nlohmann::json>(
                {{{"type", "error"}, {"message", std::string(kWriteFailed) + "Broken pipe"}}}));
}

// The IO block with a microphone: the system's conversion as without one,
// the microphone's beside it, frames of two channels to the writer.
struct TwoStreams : Rig {
  explicit TwoStreams(double bufferedSeconds = 4, bool startWriter = true)
      : Rig(48000, 4, 16000, bufferedSeconds, false, nullptr, 2) {
    TapConversion conversion;
    microphoneConverter = fakeConversion(conversion, 48000, 4);
    block.addMicrophone(std::move(conversion));
    if (startWriter) start();
  }

  static constexpr int kNull = -1;  // no microphone list
  static constexpr int kFail = -2;  // the conversion fails

  // Call k's samples are 100k + 1, 100k + 2, ... for the system, the same
  // negated for the microphone.
  void call(int k, int system, int microphone) {
    const auto fill = [k](testing::FakeConverter& converter, int count, int sign) {
      converter.status = count == kFail ? ConverterOutputStatus::Error : ConverterOutputStatus::HaveData;
      converter.samples.clear();
      for (int j = 1; j <= std::max(count, 0); ++j) converter.samples.push_back(std::int16_t(sign * (100 * k + j)));
    };
    fill(*converter, system, 1);
    fill(*microphoneConverter, microphone == kFail ? kFail : microphone, -1);
    data.assign(1920, 0);
    this->microphone.assign(1920, 0);
    AudioBufferList output{1, {{1, 1920, data.data()}}};
    AudioBufferList input{1, {{1, 1920, this->microphone.data()}}};
    block(&output, microphone == kNull ? nullptr : &input);
  }

  std::vector<std::pair<int, int>> frames() const {
    const std::string bytes = pcm.bytes();
    EXPECT_EQ(bytes.size() % 4, 0u);
    std::vector<std::pair<int, int>> pairs;
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4) {
      std::int16_t two[2];
      std::memcpy(two, bytes.data() + at, 4);
      pairs.emplace_back(two[0], two[1]);
    }
    return pairs;
  }

  testing::FakeConverter* microphoneConverter = nullptr;
};

// Frame n of both channels is one moment: a count one short or one over is
// made up by the next call, a missing or failed microphone is silence beside
// the system's samples, and a failed piece of the system's goes from both.
TEST(IoBlockTwoStreams, PairsTheChannelsFrameByFrame) {
  constexpr int kNull = TwoStreams::kNull, kFail = TwoStreams::kFail;
  const struct {
    const char* what;
    std::vector<std::pair<int, int>> calls;  // samples each conversion gives
    std::vector<std::pair<int, int>> frames;
  } cases[] = {
      {"same counts", {{3, 3}, {2, 2}}, {{101, -101}, {102, -102}, {103, -103}, {201, -201}, {202, -202}}},
      {"microphone one short, then one over",
       {{3, 2}, {3, 4}},
       {{101, -101}, {102, -102}, {103, -201}, {201, -202}, {202, -203}, {203, -204}}},
      {"microphone one over, then one short",
       {{3, 4}, {3, 2}},
       {{101, -101}, {102, -102}, {103, -103}, {201, -104}, {202, -201}, {203, -202}}},
      {"no microphone list", {{2, 2}, {2, kNull}, {1, 1}}, {{101, -101}, {102, -102}, {201, 0}, {202, 0}, {301, -301}}},
      {"failed microphone conversion", {{2, kFail}, {1, 1}}, {{101, 0}, {102, 0}, {201, -201}}},
      {"failed system conversion", {{2, 2}, {kFail, 2}, {1, 1}}, {{101, -101}, {102, -102}, {301, -301}}},
      // The system channel is never held back for long: past the carry it
      // goes out beside silence.
      {"a microphone that gives nothing",
       {{20, 0}, {20, 0}},
       {{101, 0}, {102, 0}, {103, 0}, {104, 0}, {105, 0}, {106, 0}, {107, 0}, {108, 0}, {109, 0}, {110, 0},
        {111, 0}, {112, 0}, {113, 0}, {114, 0}, {115, 0}, {116, 0}, {117, 0}, {118, 0}, {119, 0}, {120, 0},
        {201, 0}, {202, 0}, {203, 0}, {204, 0}}},
  };
  for (const auto& c : cases) {
    TwoStreams rig;
    int k = 0;
    for (const auto& [system, microphone] : c.calls) rig.call(++k, system, microphone);
    const std::int64_t frames = rig.finish();
    EXPECT_EQ(rig.frames(), c.frames) << c.what;
    EXPECT_EQ(frames, std::int64_t(c.frames.size())) << c.what;
  }
}

// A full ring drops whole frames, so the channels stay paired; owed silence
// is whole frames, and what the system carried goes out before it.
TEST(IoBlockTwoStreams, DropsAndOwedSilenceKeepTheChannelsAligned) {
  {
    TwoStreams rig(0, false);  // 32768 samples
    for (int k = 1; k <= 100; ++k) rig.call(k, 176, 176);
    const std::int64_t frames = rig.finish();
    const auto pairs = rig.frames();
    EXPECT_EQ(frames, 93 * 176);
    ASSERT_EQ(pairs.size(), std::size_t(frames));
    for (const auto& [system, microphone] : pairs) ASSERT_EQ(microphone, -system);
    EXPECT_EQ(rig.events.events(),
              std::vector<nlohmann::json>({{{"type", "error"}, {"message", kSamplesDropped}}}));
  }
  const struct {
    int microphoneBefore;
    std::pair<int, int> lastBefore;
  } cases[] = {{2, {103, 0}}, {4, {103, -103}}};
  for (const auto& c : cases) {
    TwoStreams rig(4, false);
    rig.call(1, 3, c.microphoneBefore);
    rig.block.fillGapSince(std::chrono::steady_clock::now() - std::chrono::seconds(1));
    rig.call(2, 2, 2);
    const std::int64_t frames = rig.finish();
    const auto pairs = rig.frames();
    ASSERT_EQ(pairs.size(), std::size_t(frames));
    // 1 s less the 10 ms call, and however long the test took.
    ASSERT_GE(frames, 5 + 15840);
    ASSERT_LE(frames, 5 + 15840 + 8000);
    EXPECT_EQ(pairs[2], c.lastBefore) << c.microphoneBefore;
    EXPECT_EQ(std::count(pairs.begin(), pairs.end(), std::pair(0, 0)), frames - 5);
    EXPECT_EQ(pairs[pairs.size() - 2], std::pair(201, -201));
    EXPECT_EQ(pairs.back(), std::pair(202, -202));
  }
}

// The microphone's exact zeros are timed like the tap's, and a missing list
// counts as silence of the tap's length.
TEST(IoBlockTwoStreams, TimesTheMicrophonesSilence) {
  TwoStreams rig;
  rig.call(1, 1, 1);
  rig.call(2, 1, TwoStreams::kNull);
  EXPECT_EQ(rig.block.microphoneSilentNanoseconds(), 20'000'000);
  rig.microphone.assign(1920, 1);
  AudioBufferList output{1, {{1, 1920, rig.data.data()}}};
  AudioBufferList input{1, {{1, 1920, rig.microphone.data()}}};
  rig.block(&output, &input);
  EXPECT_EQ(rig.block.microphoneSilentNanoseconds(), 0);
  EXPECT_EQ(rig.block.silentNanoseconds(), 30'000'000);
}

// Two channels reach standard output in whole frames only: through the ring
// where it wraps, through the echo stage in its largest calls, and as owed
// silence.
TEST(PcmWriterTwoChannels, NeverTearsAFrame) {
  testing::RecordingHandle pcm, events;
  events::setStandardError(&events);
  Meter meter(readFakeNow, 2);
  PcmWriter writer(16000, 0, pcm, meter, std::make_unique<EchoStage>(nullptr));  // 32768 samples
  std::vector<std::int16_t> expected;
  std::int16_t next = 1;
  const auto push = [&](std::size_t frames) {
    std::vector<std::int16_t> block;
    for (std::size_t i = 0; i < frames; ++i, ++next) {
      block.push_back(next);
      block.push_back(std::int16_t(-next));
    }
    writer.push(block.data(), std::uint32_t(block.size()));
    expected.insert(expected.end(), block.begin(), block.end());
  };
  ThreadQueue queue;
  push(EchoStage::kMostFrames + 7);  // more than one call of the stage
  writer.owe(3);
  expected.insert(expected.end(), 6, 0);
  push(5);
  queue.async([&] { writer.run(); });
  while (meter.frames.load() < std::int64_t(expected.size() / 2)) std::this_thread::yield();
  // Blocks of three frames from half the ring on, so that it wraps inside one.
  for (int i = 0; i < 3000; ++i) push(3);
  const std::int64_t frames = writer.finish(queue, Meter::Clock::now() + std::chrono::seconds(5));
  events::setStandardError(nullptr);
  EXPECT_TRUE(events.writes.empty()) << events.bytes();
  for (const auto& write : pcm.writes) ASSERT_EQ(write.size() % 4, 0u);
  std::vector<std::int16_t> written(pcm.bytes().size() / 2);
  std::memcpy(written.data(), pcm.bytes().data(), 2 * written.size());
  EXPECT_EQ(written, expected);
  EXPECT_EQ(frames, std::int64_t(expected.size() / 2));
}

}  // namespace
}  // namespace audiotap::realtime
