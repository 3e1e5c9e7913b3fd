#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"

namespace audiotap::soft::harness {
namespace {

using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;

std::vector<float> silence(std::size_t frames) { return std::vector<float>(frames, 0.f); }

TEST(SoftConverter, ToneArrivesAtItsFrequencyAndAmplitude) {
  struct Case {
    CommonFormat sample;
    double inRate;
    double outRate;
    double hz;
  };
  const Case cases[] = {
      {CommonFormat::Float32, 48000, 16000, 1000}, {CommonFormat::Float32, 48000, 16000, 7000},
      {CommonFormat::Float32, 44100, 16000, 440},  {CommonFormat::Float32, 44100.5, 16000, 1000},
      {CommonFormat::Float32, 96000, 16000, 3000}, {CommonFormat::Float32, 8000, 16000, 1000},
      {CommonFormat::Float32, 22050, 16000, 5000}, {CommonFormat::Float32, 48000, 44100, 10000},
      {CommonFormat::Float32, 48000, 8000, 3000},  {CommonFormat::Int16, 16000, 16000, 1000},
      {CommonFormat::Int16, 44100, 16000, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inRate << " -> " << c.outRate << " at " << c.hz << " Hz");
    Rig rig(c.sample, c.inRate, 1, true, c.outRate);
    ASSERT_TRUE(rig.converter);
    Pcm pcm(c.sample, true, {tone(c.hz, c.inRate, std::size_t(1.2 * c.inRate))});
    const auto out = rig.stream(pcm, {std::size_t(c.inRate / 100)});
    EXPECT_NEAR(double(out.size()), 1.2 * c.outRate, 1.0);
    // One second of whole cycles, past the filter's start.
    const ToneFit fit = fitTone(out, std::size_t(0.1 * c.outRate), std::size_t(c.outRate), c.hz, c.outRate);
    EXPECT_NEAR(20 * std::log10(fit.amplitude / 0.5), 0.0, 0.5);
    EXPECT_LT(fit.residualRms, 0.001);
  }
}

TEST(SoftConverter, MixdownAveragesChannels) {
  struct Case {
    const char* name;
    CommonFormat sample;
    bool interleaved;
    double rate;
    double rightGain;  // right channel = rightGain * left
    double amplitude;  // expected at the output
  };
  const Case cases[] = {
      {"float interleaved, opposite phase", CommonFormat::Float32, true, 48000, -1, 0},
      {"float planar, opposite phase", CommonFormat::Float32, false, 48000, -1, 0},
      {"int16 interleaved, opposite phase", CommonFormat::Int16, true, 44100, -1, 0},
      {"int16 planar, opposite phase, same rate", CommonFormat::Int16, false, 16000, -1, 0},
      {"float interleaved, right silent", CommonFormat::Float32, true, 48000, 0, 0.25},
      {"int16 planar, right silent, same rate", CommonFormat::Int16, false, 16000, 0, 0.25},
      {"float planar, in phase", CommonFormat::Float32, false, 16000, 1, 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto left = tone(1000, c.rate, std::size_t(c.rate * 1.2));
    auto right = left;
    for (float& v : right) v = float(v * c.rightGain);
    Rig rig(c.sample, c.rate, 2, c.interleaved, 16000);
    ASSERT_TRUE(rig.converter);
    Pcm pcm(c.sample, c.interleaved, {left, right});
    const auto out = rig.stream(pcm, {480});
    if (c.amplitude == 0) {
      EXPECT_EQ(std::count(out.begin(), out.end(), 0), std::ptrdiff_t(out.size()));
    } else {
      EXPECT_NEAR(fitTone(out, 1600, 16000, 1000, 16000).amplitude, c.amplitude, c.amplitude * 0.01);
    }
  }
}

TEST(SoftConverter, SameRateInt16MonoPassesThroughExactly) {
  std::vector<float> signal(5000);
  for (std::size_t i = 0; i < signal.size(); ++i)
    signal[i] = float((int(i * 7919) % 65536) - 32768) / 32768.f;
  Pcm pcm(CommonFormat::Int16, true, {signal});
  Rig rig(CommonFormat::Int16, 16000, 1, true, 16000);
  const auto out = rig.stream(pcm, {160, 33});
  ASSERT_EQ(out.size(), signal.size());
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], int(std::lround(signal[i] * 32768.f))) << i;
}

TEST(SoftConverter, RoundsAndClipsAtTheExtremes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float in;
    std::int16_t out;
  };
  const Case cases[] = {
      {1.f, 32767},
      {-1.f, -32768},
      {2.f, 32767},
      {-2.f, -32768},
      {0.4f / 32768, 0},
      {0.6f / 32768, 1},
      {-0.6f / 32768, -1},
      {100.4f / 32768, 100},
      {-100.6f / 32768, -101},
      {32766.6f / 32768, 32767},
      {nan, 0},
      {inf, 32767},
      {-inf, -32768},
  };
  std::vector<float> signal;
  for (const auto& c : cases) signal.push_back(c.in);
  Pcm pcm(CommonFormat::Float32, true, {signal});
  Rig rig(CommonFormat::Float32, 16000, 1, true, 16000);
  const auto out = rig.stream(pcm, {signal.size()});
  ASSERT_EQ(out.size(), signal.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], cases[i].out) << "input " << cases[i].in;

  // Stereo int16 extremes average without overflow.
  Pcm extremes(CommonFormat::Int16, true, {{1.f, -1.f, -1.f}, {1.f, -1.f, 1.f}});
  Rig stereo(CommonFormat::Int16, 16000, 2, true, 16000);
  EXPECT_EQ(stereo.stream(extremes, {3}), (std::vector<std::int16_t>{32767, -32768, 0}));
}

TEST(SoftConverter, NonFiniteInputDoesNotStayInTheFilter) {
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    auto signal = silence(48000);
    signal[100] = bad;
    Pcm pcm(CommonFormat::Float32, true, {signal});
    Rig rig(CommonFormat::Float32, 48000, 1, true, 16000);
    const auto out = rig.stream(pcm, {480});
    ASSERT_EQ(out.size(), 16000u);
    // Well past the filter's length from the bad sample, silence is silence again.
    EXPECT_EQ(std::count(out.begin() + 1000, out.end(), 0), std::ptrdiff_t(out.size() - 1000)) << bad;
  }
}

TEST(SoftConverter, StateCarriesAcrossCalls) {
  struct Case {
    double inRate;
    std::uint32_t channels;
    bool interleaved;
  };
  const Case cases[] = {{48000, 1, true}, {44100, 2, true}, {44100.5, 2, false}, {8000, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inRate << " Hz, " << c.channels << " channels");
    const std::size_t frames = std::size_t(c.inRate * 0.5);
    std::vector<std::vector<float>> channels;
    for (std::uint32_t ch = 0; ch < c.channels; ++ch)
      channels.push_back(tone(700 + 300 * ch, c.inRate, frames));
    Pcm pcm(CommonFormat::Float32, c.interleaved, channels);
    Rig whole(CommonFormat::Float32, c.inRate, c.channels, c.interleaved, 16000);
    Rig split(CommonFormat::Float32, c.inRate, c.channels, c.interleaved, 16000);
    const auto once = whole.stream(pcm, {frames});
    const auto pieces = split.stream(pcm, {1, 7, 479, 13, 2048, 3});
    EXPECT_EQ(once.size(), std::size_t(std::ceil(frames * 16000 / c.inRate)));
    EXPECT_EQ(once, pieces);
  }
}

TEST(SoftConverter, OutputThatDoesNotFitComesOnLaterCalls) {
  const auto signal = tone(1000, 48000, 4800);
  Pcm pcm(CommonFormat::Float32, true, {signal});
  Rig reference(CommonFormat::Float32, 48000, 1, true, 16000);
  const auto expected = reference.stream(pcm, {480});

  // Each call hands over 480 frames (160 out, fewer on the first) but has room
  // for only 100, so a backlog grows; empty calls then drain it.
  Rig rig(CommonFormat::Float32, 48000, 1, true, 16000);
  std::vector<std::int16_t> got;
  for (std::size_t first = 0; first < pcm.frames; first += 480) {
    const Result r = rig.call(pcm, first, 480, 100);
    EXPECT_EQ(r.status, ConverterOutputStatus::HaveData);
    EXPECT_EQ(r.inputRequests, 1) << "asked for more input with the output full";
    got.insert(got.end(), r.samples.begin(), r.samples.end());
  }
  Result r;
  do {
    r = rig.convert(nullptr, 7, ConverterInputStatus::NoDataNow);
    got.insert(got.end(), r.samples.begin(), r.samples.end());
  } while (r.status == ConverterOutputStatus::HaveData);
  EXPECT_EQ(r.status, ConverterOutputStatus::InputRanDry);
  const auto rest = rig.finish(5);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, expected);
}

TEST(SoftConverter, Statuses) {
  struct Case {
    const char* name;
    ConverterInputStatus first;  // answered with 480 frames at 48 kHz
    ConverterInputStatus then;   // answered with no buffer
    std::uint32_t capacity;
    ConverterOutputStatus expected;
    std::size_t frames;  // kSome: the filter's delay holds some back
  };
  constexpr std::size_t kSome = ~std::size_t(0);
  const Case cases[] = {
      {"data then none", ConverterInputStatus::HaveData, ConverterInputStatus::NoDataNow, 176,
       ConverterOutputStatus::InputRanDry, kSome},
      {"no data now, with frames", ConverterInputStatus::NoDataNow, ConverterInputStatus::NoDataNow, 176,
       ConverterOutputStatus::InputRanDry, kSome},
      {"output fills", ConverterInputStatus::HaveData, ConverterInputStatus::NoDataNow, 100,
       ConverterOutputStatus::HaveData, 100},
      {"output fills on no data now", ConverterInputStatus::NoDataNow, ConverterInputStatus::NoDataNow, 100,
       ConverterOutputStatus::HaveData, 100},
      {"end with frames, flushed", ConverterInputStatus::EndOfStream, ConverterInputStatus::EndOfStream, 176,
       ConverterOutputStatus::EndOfStream, 160},
      {"data then end", ConverterInputStatus::HaveData, ConverterInputStatus::EndOfStream, 176,
       ConverterOutputStatus::EndOfStream, 160},
      {"end but the flush does not fit", ConverterInputStatus::EndOfStream, ConverterInputStatus::EndOfStream,
       150, ConverterOutputStatus::HaveData, 150},
      {"no room at all", ConverterInputStatus::HaveData, ConverterInputStatus::NoDataNow, 0,
       ConverterOutputStatus::HaveData, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pcm pcm(CommonFormat::Float32, true, {tone(1000, 48000, 480)});
    Rig rig(CommonFormat::Float32, 48000, 1, true, 16000);
    BufferList list = pcm.slice(0, 480);
    auto buffer = rig.media->wrapBufferListNoCopy(*rig.in, list.get());
    const Result r = rig.convert(buffer.get(), c.capacity, c.first, c.then);
    EXPECT_EQ(r.status, c.expected);
    if (c.frames == kSome) {
      EXPECT_GT(r.samples.size(), 100u);
      EXPECT_LT(r.samples.size(), 160u);
    } else {
      EXPECT_EQ(r.samples.size(), c.frames);
    }
    EXPECT_FALSE(r.error);
  }

  // Nothing and no data: ran dry with no frames. After the end: the end again,
  // without asking for input.
  Rig rig(CommonFormat::Float32, 48000, 1, true, 16000);
  EXPECT_EQ(rig.convert(nullptr, 16, ConverterInputStatus::NoDataNow).status,
            ConverterOutputStatus::InputRanDry);
  EXPECT_EQ(rig.convert(nullptr, 16, ConverterInputStatus::EndOfStream).status,
            ConverterOutputStatus::EndOfStream);
  const Result after = rig.convert(nullptr, 16, ConverterInputStatus::HaveData);
  EXPECT_EQ(after.status, ConverterOutputStatus::EndOfStream);
  EXPECT_EQ(after.inputRequests, 0);
}

class ForeignBuffer final : public platform::PcmBuffer {
 public:
  std::uint32_t frameLength() const override { return 10; }
  void setFrameLength(std::uint32_t) override {}
  std::int16_t* const* int16ChannelData() const override { return channels_; }

 private:
  std::int16_t samples_[10] = {};
  std::int16_t* channels_[1] = {samples_};
};

TEST(SoftConverter, MismatchedBuffersAreErrors) {
  Rig rig(CommonFormat::Float32, 48000, 2, true, 16000);
  auto media = rig.media.get();
  const auto stereo48 = media->formatWithCommonFormat(CommonFormat::Float32, 48000, 2, true);
  const auto mono48 = media->formatWithCommonFormat(CommonFormat::Float32, 48000, 1, true);
  const auto stereo44 = media->formatWithCommonFormat(CommonFormat::Float32, 44100, 2, true);
  const auto planar48 = media->formatWithCommonFormat(CommonFormat::Float32, 48000, 2, false);
  const auto int16at16 = media->formatWithCommonFormat(CommonFormat::Int16, 16000, 1, true);
  const auto int16at8 = media->formatWithCommonFormat(CommonFormat::Int16, 8000, 1, true);
  const auto floatAt16 = media->formatWithCommonFormat(CommonFormat::Float32, 16000, 1, true);
  ForeignBuffer foreign;

  struct Case {
    const char* name;
    platform::PcmBuffer* input;
    ConverterInputStatus status;
    const platform::AudioFormat* output;  // null: a foreign output buffer
  };
  auto good = media->makeBuffer(*stereo48, 480);
  auto mono = media->makeBuffer(*mono48, 480);
  auto otherRate = media->makeBuffer(*stereo44, 480);
  auto planar = media->makeBuffer(*planar48, 480);
  for (auto* b : {good.get(), mono.get(), otherRate.get(), planar.get()}) b->setFrameLength(480);
  const Case cases[] = {
      {"input of another channel count", mono.get(), ConverterInputStatus::HaveData, int16at16.get()},
      {"input at another rate", otherRate.get(), ConverterInputStatus::HaveData, int16at16.get()},
      {"input planar, not interleaved", planar.get(), ConverterInputStatus::HaveData, int16at16.get()},
      {"input from elsewhere", &foreign, ConverterInputStatus::HaveData, int16at16.get()},
      {"data claimed, no buffer", nullptr, ConverterInputStatus::HaveData, int16at16.get()},
      {"unknown input status", good.get(), ConverterInputStatus(7), int16at16.get()},
      {"output at another rate", good.get(), ConverterInputStatus::HaveData, int16at8.get()},
      {"output in float", good.get(), ConverterInputStatus::HaveData, floatAt16.get()},
      {"output from elsewhere", good.get(), ConverterInputStatus::HaveData, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<platform::PcmBuffer> output;
    ForeignBuffer foreignOutput;
    if (c.output != nullptr) output = media->makeBuffer(*c.output, 200);
    platform::PcmBuffer& out = c.output != nullptr ? *output : foreignOutput;
    std::optional<platform::ConverterError> error;
    int requests = 0;
    const auto status = rig.converter->convert(out, &error, [&](std::uint32_t, ConverterInputStatus* s) {
      *s = requests++ == 0 ? c.status : ConverterInputStatus::NoDataNow;
      return requests == 1 ? c.input : nullptr;
    });
    EXPECT_EQ(status, ConverterOutputStatus::Error);
    if (c.output != nullptr) {
      EXPECT_EQ(out.frameLength(), 0u);
    }
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->localizedDescription.empty());
    // Without an error out-parameter the failure is the same.
    EXPECT_EQ(rig.converter->convert(out, nullptr,
                                     [&](std::uint32_t, ConverterInputStatus* s) {
                                       *s = c.status;
                                       return c.input;
                                     }),
              ConverterOutputStatus::Error);
  }
}

TEST(SoftConverter, AudioBeforeABadBufferIsKept) {
  Rig rig(CommonFormat::Float32, 48000, 1, true, 16000);
  Pcm pcm(CommonFormat::Float32, true, {tone(1000, 48000, 960)});
  BufferList list = pcm.slice(0, 960);
  auto good = rig.media->wrapBufferListNoCopy(*rig.in, list.get());
  ForeignBuffer bad;
  auto output = rig.media->makeBuffer(*rig.out, 400);
  std::optional<platform::ConverterError> error;
  int requests = 0;
  const auto status = rig.converter->convert(*output, &error, [&](std::uint32_t, ConverterInputStatus* s) {
    *s = ConverterInputStatus::HaveData;
    return requests++ == 0 ? static_cast<platform::PcmBuffer*>(good.get()) : &bad;
  });
  ASSERT_EQ(status, ConverterOutputStatus::Error);

  Rig reference(CommonFormat::Float32, 48000, 1, true, 16000);
  const Result expected = reference.call(pcm, 0, 960, 400);
  const Result next = rig.convert(nullptr, 400, ConverterInputStatus::NoDataNow);
  EXPECT_EQ(next.status, ConverterOutputStatus::InputRanDry);
  EXPECT_EQ(next.samples, expected.samples);
  EXPECT_GT(next.samples.size(), 200u);
}

}  // namespace
}  // namespace audiotap::soft::harness
