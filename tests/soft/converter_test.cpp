#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"

namespace audiotap::soft::harness {
namespace {

using Samples = std::vector<std::int16_t>;

TEST(SoftConverter, ToneArrivesAtItsFrequencyAndAmplitude) {
  const struct {
    CommonFormat sample;
    double inRate, outRate, hz;
  } cases[] = {
      {CommonFormat::Float32, 48000, 16000, 1000},  {CommonFormat::Float32, 48000, 16000, 7000},
      {CommonFormat::Float32, 44100, 16000, 440},   {CommonFormat::Float32, 44100.5, 16000, 1000},
      {CommonFormat::Float32, 96000, 16000, 3000},  {CommonFormat::Float32, 8000, 16000, 1000},
      {CommonFormat::Float32, 48000, 44100, 10000}, {CommonFormat::Int16, 22050, 16000, 5000},
      {CommonFormat::Int16, 16000, 16000, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.inRate << " -> " << c.outRate << " at " << c.hz << " Hz");
    Rig rig(c.sample, c.inRate, 1, true, c.outRate);
    Pcm pcm(c.sample, true, {tone(c.hz, c.inRate, std::size_t(1.2 * c.inRate))});
    const Samples out = rig.stream(pcm, {std::size_t(c.inRate / 100)});
    EXPECT_NEAR(double(out.size()), 1.2 * c.outRate, 1.0);
    // One second of whole cycles, past the filter's start.
    const auto [amplitude, residual] =
        fitTone(out, std::size_t(c.outRate / 10), std::size_t(c.outRate), c.hz, c.outRate);
    EXPECT_NEAR(20 * std::log10(amplitude / 0.5), 0.0, 0.5);
    EXPECT_LT(residual, 0.001);
  }
}

TEST(SoftConverter, MixdownAveragesChannels) {
  const struct {
    CommonFormat sample;
    bool interleaved;
    double rate, rightGain, amplitude;
  } cases[] = {
      {CommonFormat::Float32, true, 48000, -1, 0},   {CommonFormat::Float32, false, 48000, -1, 0},
      {CommonFormat::Int16, true, 44100, -1, 0},     {CommonFormat::Int16, false, 16000, -1, 0},
      {CommonFormat::Float32, true, 48000, 0, 0.25}, {CommonFormat::Int16, false, 16000, 0, 0.25},
      {CommonFormat::Float32, false, 16000, 1, 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.rate << (c.interleaved ? " interleaved" : " planar") << ", right x " << c.rightGain);
    const auto left = tone(1000, c.rate, std::size_t(c.rate * 1.2));
    auto right = left;
    for (float& v : right) v = float(v * c.rightGain);
    Rig rig(c.sample, c.rate, 2, c.interleaved);
    Pcm pcm(c.sample, c.interleaved, {left, right});
    const Samples out = rig.stream(pcm, {480});
    if (c.amplitude == 0) {
      EXPECT_EQ(out, Samples(out.size(), 0));
    } else {
      EXPECT_NEAR(fitTone(out, 1600, 16000, 1000, 16000).first, c.amplitude, c.amplitude * 0.01);
    }
  }
}

TEST(SoftConverter, RoundsAndClipsAtTheExtremes) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const struct {
    float in;
    std::int16_t out;
  } cases[] = {
      {1.f, 32767},
      {-1.f, -32768},
      {2.f, 32767},
      {-2.f, -32768},
      {0.4f / 32768, 0},
      {0.6f / 32768, 1},
      {-0.6f / 32768, -1},
      {-100.6f / 32768, -101},
      {32766.6f / 32768, 32767},
      {nan, 0},
      {inf, 32767},
      {-inf, -32768},
  };
  std::vector<float> signal;
  Samples expected;
  for (const auto& c : cases) signal.push_back(c.in), expected.push_back(c.out);
  Pcm pcm(CommonFormat::Float32, true, {signal});
  EXPECT_EQ(Rig(CommonFormat::Float32, 16000, 1, true).stream(pcm, {5}), expected);

  // Int16 at the same rate comes out as it went in; stereo extremes average
  // without overflow.
  Pcm extremes(CommonFormat::Int16, true,
               {{1.f, -1.f, -1.f, 0.5f, -3.f / 32768}, {1.f, -1.f, 1.f, 0.5f, 0.f}});
  EXPECT_EQ(Rig(CommonFormat::Int16, 16000, 2, true).stream(extremes, {2}),
            (Samples{32767, -32768, 0, 16384, -2}));
  Pcm mono(CommonFormat::Int16, true, {{1.f, -1.f, 1.f / 32768, -1.f / 32768, 12345.f / 32768}});
  EXPECT_EQ(Rig(CommonFormat::Int16, 16000, 1, true).stream(mono, {3}),
            (Samples{32767, -32768, 1, -1, 12345}));
}

TEST(SoftConverter, NonFiniteInputDoesNotStayInTheFilter) {
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    std::vector<float> signal(48000, 0.f);
    signal[100] = bad;
    Pcm pcm(CommonFormat::Float32, true, {signal});
    const Samples out = Rig(CommonFormat::Float32, 48000, 1, true).stream(pcm, {480});
    ASSERT_EQ(out.size(), 16000u);
    EXPECT_EQ(Samples(out.begin() + 1000, out.end()), Samples(15000, 0)) << bad;
  }
}

TEST(SoftConverter, OddSizedCallsGiveTheSameStreamAsOne) {
  const struct {
    double rate;
    std::uint32_t channels;
    bool interleaved;
  } cases[] = {{48000, 1, true}, {44100, 2, true}, {44100.5, 2, false}, {8000, 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rate << " Hz, " << c.channels << " channels");
    const std::size_t frames = std::size_t(c.rate / 2);
    Pcm pcm(CommonFormat::Float32, c.interleaved, {tone(700, c.rate, frames), tone(1300, c.rate, frames)});
    if (c.channels == 1) pcm = Pcm(CommonFormat::Float32, true, {tone(700, c.rate, frames)});
    const Samples once = Rig(CommonFormat::Float32, c.rate, c.channels, c.interleaved).stream(pcm, {frames});
    const Samples pieces =
        Rig(CommonFormat::Float32, c.rate, c.channels, c.interleaved).stream(pcm, {1, 7, 479, 13, 2048, 3});
    EXPECT_EQ(once.size(), std::size_t(std::ceil(frames * 16000 / c.rate)));
    EXPECT_EQ(once, pieces);
  }
}

TEST(SoftConverter, OutputThatDoesNotFitComesOnLaterCalls) {
  Pcm pcm(CommonFormat::Float32, true, {tone(1000, 48000, 4800)});
  const Samples expected = Rig(CommonFormat::Float32, 48000, 1, true).stream(pcm, {480});

  // Each call hands over 480 frames (160 out) with room for 100: the input is
  // taken all the same, and empty calls drain the backlog.
  Rig rig(CommonFormat::Float32, 48000, 1, true);
  Samples got;
  for (std::size_t first = 0; first < pcm.frames; first += 480) {
    const Result r = rig.call(pcm, first, 480, 100);
    EXPECT_EQ(r.status, ConverterOutputStatus::HaveData);
    EXPECT_EQ(r.inputRequests, 1);
    got.insert(got.end(), r.samples.begin(), r.samples.end());
  }
  Result r;
  do {
    r = rig.convert(nullptr, 7, ConverterInputStatus::NoDataNow);
    got.insert(got.end(), r.samples.begin(), r.samples.end());
  } while (r.status == ConverterOutputStatus::HaveData);
  EXPECT_EQ(r.status, ConverterOutputStatus::InputRanDry);
  const Samples rest = rig.finish(5);
  got.insert(got.end(), rest.begin(), rest.end());
  EXPECT_EQ(got, expected);
}

TEST(SoftConverter, Statuses) {
  constexpr std::size_t kSome = 1;  // fewer than 160: the filter's delay holds some back
  const struct {
    const char* name;
    ConverterInputStatus first, then;  // first with 480 frames at 48 kHz, then with none
    std::uint32_t capacity;
    ConverterOutputStatus expected;
    std::size_t frames;
  } cases[] = {
      {"data then none", ConverterInputStatus::HaveData, ConverterInputStatus::NoDataNow, 176,
       ConverterOutputStatus::InputRanDry, kSome},
      {"none now, with frames", ConverterInputStatus::NoDataNow, ConverterInputStatus::NoDataNow, 176,
       ConverterOutputStatus::InputRanDry, kSome},
      {"output fills", ConverterInputStatus::NoDataNow, ConverterInputStatus::NoDataNow, 100,
       ConverterOutputStatus::HaveData, 100},
      {"end with frames, flushed", ConverterInputStatus::EndOfStream, ConverterInputStatus::EndOfStream, 176,
       ConverterOutputStatus::EndOfStream, 160},
      {"data then end", ConverterInputStatus::HaveData, ConverterInputStatus::EndOfStream, 176,
       ConverterOutputStatus::EndOfStream, 160},
      {"end, the flush does not fit", ConverterInputStatus::EndOfStream, ConverterInputStatus::EndOfStream,
       150, ConverterOutputStatus::HaveData, 150},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pcm pcm(CommonFormat::Float32, true, {tone(1000, 48000, 480)});
    Rig rig(CommonFormat::Float32, 48000, 1, true);
    BufferList list = pcm.slice(0, 480);
    auto buffer = rig.media->wrapBufferListNoCopy(*rig.in, list.get());
    const Result r = rig.convert(buffer.get(), c.capacity, c.first, c.then);
    EXPECT_EQ(r.status, c.expected);
    if (c.frames == kSome) {
      EXPECT_TRUE(r.samples.size() > 100 && r.samples.size() < 160) << r.samples.size();
    } else {
      EXPECT_EQ(r.samples.size(), c.frames);
    }
    EXPECT_FALSE(r.error);
  }
  // After the end, the end again without asking for input.
  Rig rig(CommonFormat::Float32, 48000, 1, true);
  EXPECT_EQ(rig.convert(nullptr, 16, ConverterInputStatus::NoDataNow).status,
            ConverterOutputStatus::InputRanDry);
  EXPECT_EQ(rig.convert(nullptr, 16, ConverterInputStatus::EndOfStream).status,
            ConverterOutputStatus::EndOfStream);
  const Result after = rig.convert(nullptr, 16);
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

TEST(SoftConverter, MismatchedBuffersAreErrorsAndCostNoEarlierAudio) {
  Rig rig(CommonFormat::Float32, 48000, 2, true);
  platform::Media& media = *rig.media;
  const auto buffer = [&](double rate, std::uint32_t channels, bool interleaved) {
    auto b = media.makeBuffer(
        *media.formatWithCommonFormat(CommonFormat::Float32, rate, channels, interleaved), 480);
    b->setFrameLength(480);
    return b;
  };
  const auto good = buffer(48000, 2, true), mono = buffer(48000, 1, true), at44 = buffer(44100, 2, true),
             planar = buffer(48000, 2, false);
  const auto int16At16 = media.formatWithCommonFormat(CommonFormat::Int16, 16000, 1, true);
  const auto int16At8 = media.formatWithCommonFormat(CommonFormat::Int16, 8000, 1, true);
  const auto floatAt16 = media.formatWithCommonFormat(CommonFormat::Float32, 16000, 1, true);
  ForeignBuffer foreign;
  const struct {
    const char* name;
    platform::PcmBuffer* input;
    ConverterInputStatus status;
    const platform::AudioFormat* output;  // null: a buffer from elsewhere
  } cases[] = {
      {"input of another channel count", mono.get(), ConverterInputStatus::HaveData, int16At16.get()},
      {"input at another rate", at44.get(), ConverterInputStatus::HaveData, int16At16.get()},
      {"input planar", planar.get(), ConverterInputStatus::HaveData, int16At16.get()},
      {"input from elsewhere", &foreign, ConverterInputStatus::NoDataNow, int16At16.get()},
      {"data claimed, no buffer", nullptr, ConverterInputStatus::HaveData, int16At16.get()},
      {"unknown input status", good.get(), ConverterInputStatus(7), int16At16.get()},
      {"output at another rate", good.get(), ConverterInputStatus::HaveData, int16At8.get()},
      {"output in float", good.get(), ConverterInputStatus::HaveData, floatAt16.get()},
      {"output from elsewhere", good.get(), ConverterInputStatus::HaveData, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A good buffer first: what it yields must survive the bad one.
    int requests = 0;
    ForeignBuffer foreignOutput;
    auto output = c.output ? media.makeBuffer(*c.output, 400) : nullptr;
    platform::PcmBuffer& out = output ? *output : foreignOutput;
    std::optional<platform::ConverterError> error;
    const auto status = rig.converter->convert(out, &error, [&](std::uint32_t, ConverterInputStatus* s) {
      *s = requests == 0 ? ConverterInputStatus::HaveData : c.status;
      return requests++ == 0 ? good.get() : c.input;
    });
    EXPECT_EQ(status, ConverterOutputStatus::Error);
    EXPECT_EQ(out.frameLength(), output ? 0u : 10u);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->localizedDescription.empty());
    EXPECT_EQ(rig.converter->convert(out, nullptr,
                                     [&](std::uint32_t, ConverterInputStatus* s) {
                                       *s = c.status;
                                       return c.input;
                                     }),
              ConverterOutputStatus::Error)
        << "without an error out-parameter";
    if (c.output != int16At16.get()) continue;
    const Result kept = rig.convert(nullptr, 1000, ConverterInputStatus::NoDataNow);
    EXPECT_GE(kept.samples.size(), 120u) << "audio before the bad buffer was lost";
  }
}

}  // namespace
}  // namespace audiotap::soft::harness
