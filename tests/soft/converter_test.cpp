// The converter driven the way the IO block drives it, on signals in each of
// the media's layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "platform/media.h"
#include "platform/soft/media.h"

namespace audiotap::platform::soft {
namespace {

using platform::CommonFormat;
using In = platform::ConverterInputStatus;
using Out = platform::ConverterOutputStatus;
using Samples = std::vector<std::int16_t>;
constexpr CommonFormat kF32 = CommonFormat::Float32, kI16 = CommonFormat::Int16;

std::vector<float> tone(double hz, double rate, std::size_t frames) {
  std::vector<float> out(frames);
  for (std::size_t i = 0; i < frames; ++i)
    out[i] = float(0.5 * std::sin(2 * std::numbers::pi * hz * i / rate));
  return out;
}

// Audio in one of the media's layouts, made from one float signal per channel.
struct Pcm {
  std::size_t frames;
  std::uint32_t perBuffer;  // channels
  std::size_t stride;       // bytes per frame in each buffer
  std::vector<std::vector<std::byte>> buffers;

  Pcm(CommonFormat sample, bool interleaved, const std::vector<std::vector<float>>& signals)
      : frames(signals[0].size()), perBuffer(interleaved ? std::uint32_t(signals.size()) : 1) {
    const std::size_t bytes = sample == kI16 ? 2 : 4;
    stride = bytes * perBuffer;
    buffers.assign(signals.size() / perBuffer, std::vector<std::byte>(frames * stride));
    for (std::size_t c = 0; c < signals.size(); ++c) {
      for (std::size_t i = 0; i < frames; ++i) {
        const float f = signals[c][i];
        const auto v = std::int16_t(std::clamp(std::round(f * 32768.0), -32768.0, 32767.0));
        std::memcpy(&buffers[c / perBuffer][i * stride + c % perBuffer * bytes],
                    bytes == 4 ? static_cast<const void*>(&f) : &v, bytes);
      }
    }
  }

  // Frames [first, first + count), wrapped as the device would deliver them.
  std::unique_ptr<platform::PcmBuffer> wrap(platform::Media& media, const platform::AudioFormat& format,
                                            std::size_t first, std::size_t count) {
    struct {
      std::uint32_t count;
      platform::AudioBuffer buffers[2];
    } list{std::uint32_t(buffers.size()), {}};
    for (std::size_t b = 0; b < buffers.size(); ++b)
      list.buffers[b] = {perBuffer, std::uint32_t(count * stride), buffers[b].data() + first * stride};
    return media.wrapBufferListNoCopy(format, reinterpret_cast<platform::AudioBufferList*>(&list));
  }
};

// Amplitude of the component at `hz` and the rms of what is left without it,
// relative to full scale; exact over whole cycles.
std::pair<double, double> fitTone(const Samples& x, std::size_t first, std::size_t count, double hz,
                                  double rate) {
  double c = 0, s = 0, residual = 0;
  const auto phase = [&](std::size_t i) { return 2 * std::numbers::pi * hz * double(i) / rate; };
  for (std::size_t i = 0; i < count; ++i)
    c += x[first + i] * std::cos(phase(i)), s += x[first + i] * std::sin(phase(i));
  c *= 2.0 / count, s *= 2.0 / count;
  for (std::size_t i = 0; i < count; ++i) {
    const double r = x[first + i] - c * std::cos(phase(i)) - s * std::sin(phase(i));
    residual += r * r;
  }
  return {std::hypot(c, s) / 32768.0, std::sqrt(residual / count) / 32768.0};
}

struct Result {
  Out status;
  Samples samples;
  std::optional<platform::ConverterError> error;
  int inputRequests = 0;
};

// A converter to int16 mono at `outRate`, driven as the IO block drives it.
struct Rig {
  std::unique_ptr<platform::Media> media = makeSoftMedia();
  std::unique_ptr<platform::AudioFormat> in, out;
  std::unique_ptr<platform::Converter> converter;

  Rig(CommonFormat sample, double inRate, std::uint32_t channels, bool interleaved, double outRate = 16000)
      : in(media->formatWithCommonFormat(sample, inRate, channels, interleaved)),
        out(media->formatWithCommonFormat(kI16, outRate, 1, true)),
        converter(media->makeConverter(*in, *out)) {}

  // Answers `first` with `buffer`, then `then` with no buffer.
  Result convert(platform::PcmBuffer* buffer, std::uint32_t capacity, In first = In::HaveData,
                 In then = In::NoDataNow) {
    auto output = media->makeBuffer(*out, capacity);
    Result r;
    r.status = converter->convert(*output, &r.error, [&](std::uint32_t, In* status) {
      *status = r.inputRequests++ == 0 ? first : then;
      return r.inputRequests == 1 ? buffer : nullptr;
    });
    if (std::int16_t* const* data = output->int16ChannelData())
      r.samples.assign(data[0], data[0] + output->frameLength());
    return r;
  }

  // The whole of `pcm` in calls of the given sizes, cycled, each with room
  // for `capacity` frames, then the end.
  Samples stream(Pcm& pcm, const std::vector<std::size_t>& sizes, std::uint32_t capacity = 1 << 16) {
    Samples samples;
    const auto add = [&](const Result& r) {
      samples.insert(samples.end(), r.samples.begin(), r.samples.end());
      return r.status;
    };
    for (std::size_t first = 0, k = 0, n; first < pcm.frames; first += n) {
      n = std::min(sizes[k++ % sizes.size()], pcm.frames - first);
      add(convert(pcm.wrap(*media, *in, first, n).get(), capacity));
    }
    while (add(convert(nullptr, 64, In::EndOfStream, In::EndOfStream)) == Out::HaveData) {
    }
    return samples;
  }
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();

// Mono rows check the resampler; stereo rows, whose right channel is the left
// times `right`, check the mixdown in every sample type and layout.
TEST(SoftConverter, ToneArrivesAtItsFrequencyAndAmplitude) {
  const struct {
    CommonFormat sample;
    double inRate, outRate, hz;
    std::uint32_t channels;
    bool interleaved;
    double right, amplitude;
  } cases[] = {
      {kF32, 44100.5, 16000, 1000, 1, true, 0, 0.5}, {kF32, 8000, 16000, 1000, 1, true, 0, 0.5},
      {kF32, 48000, 44100, 10000, 1, true, 0, 0.5},  {kI16, 22050, 16000, 5000, 1, true, 0, 0.5},
      {kI16, 16000, 16000, 1000, 1, true, 0, 0.5},   {kF32, 48000, 16000, 1000, 2, true, -1, 0},
      {kF32, 16000, 16000, 1000, 2, false, 0, 0.25}, {kI16, 44100, 16000, 1000, 2, true, 0, 0.25},
      {kI16, 16000, 16000, 1000, 2, false, -1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.inRate << " -> " << c.outRate << " at " << c.hz << " Hz, "
                                      << c.channels << (c.interleaved ? " interleaved" : " planar"));
    std::vector<std::vector<float>> signals(c.channels, tone(c.hz, c.inRate, std::size_t(1.2 * c.inRate)));
    for (float& v : signals.back()) v = float(v * (c.channels == 2 ? c.right : 1));
    Pcm pcm(c.sample, c.interleaved, signals);
    const Samples out = Rig(c.sample, c.inRate, c.channels, c.interleaved, c.outRate)
                            .stream(pcm, {std::size_t(c.inRate / 100)});
    EXPECT_NEAR(double(out.size()), 1.2 * c.outRate, 1.0);
    if (c.amplitude == 0) {
      EXPECT_EQ(out, Samples(out.size(), 0));
      continue;
    }
    // One second of whole cycles, past the filter's start.
    const auto [amplitude, residual] =
        fitTone(out, std::size_t(c.outRate / 10), std::size_t(c.outRate), c.hz, c.outRate);
    EXPECT_NEAR(20 * std::log10(amplitude / c.amplitude), 0.0, 0.5);
    EXPECT_LT(residual, 0.001);
  }
}

TEST(SoftConverter, RoundsAndClipsAtTheExtremes) {
  Pcm pcm(kF32, true,
          {{1.f, -1.f, 2.f, -2.f, 0.4f / 32768, 0.6f / 32768, -0.6f / 32768, -100.6f / 32768,
            32766.6f / 32768, kNaN, kInf, -kInf}});
  EXPECT_EQ(Rig(kF32, 16000, 1, true).stream(pcm, {5}),
            (Samples{32767, -32768, 32767, -32768, 0, 1, -1, -101, 32767, 0, 32767, -32768}));
  // Int16 extremes average without overflow; a half rounds to even.
  Pcm extremes(kI16, true, {{1.f, -1.f, -1.f, 0.5f, -3.f / 32768}, {1.f, -1.f, 1.f, 0.5f, 0.f}});
  EXPECT_EQ(Rig(kI16, 16000, 2, true).stream(extremes, {2}), (Samples{32767, -32768, 0, 16384, -2}));
  // Through the resampler, non-finite input must not stay in the filter.
  std::vector<float> signal(48000, 0.f);
  signal[100] = kNaN, signal[200] = kInf;
  Pcm spikes(kF32, true, {signal});
  const Samples out = Rig(kF32, 48000, 1, true).stream(spikes, {480});
  ASSERT_EQ(out.size(), 16000u);
  EXPECT_EQ(Samples(out.begin() + 1000, out.end()), Samples(15000, 0));
}

// The same stream whatever the calls' sizes, and with less room than a call
// yields: input is taken all the same and the backlog comes later.
TEST(SoftConverter, CallSizesAndOutputRoomDoNotChangeTheStream) {
  for (const double rate : {44100.5, 8000.0}) {
    SCOPED_TRACE(rate);
    const std::size_t frames = std::size_t(rate / 2);
    Pcm pcm(kF32, false, {tone(700, rate, frames), tone(1300, rate, frames)});
    const Samples once = Rig(kF32, rate, 2, false).stream(pcm, {frames});
    EXPECT_EQ(once.size(), std::size_t(std::ceil(frames * 16000 / rate)));
    EXPECT_EQ(once, Rig(kF32, rate, 2, false).stream(pcm, {1, 7, 479, 13, 2048, 3}));
    EXPECT_EQ(once, Rig(kF32, rate, 2, false).stream(pcm, {480}, 100));
  }
}

TEST(SoftConverter, Statuses) {
  constexpr std::size_t kSome = ~std::size_t(0);  // over 100 and under 160: the filter holds some back
  const struct {
    const char* name;
    In first, then;  // first with 480 frames at 48 kHz, then with none
    std::uint32_t capacity;
    Out expected;
    std::size_t frames, total;  // in this call; with what a second call drains
  } cases[] = {
      {"data then none", In::HaveData, In::NoDataNow, 176, Out::InputRanDry, kSome, kSome},
      {"none now, with frames", In::NoDataNow, In::NoDataNow, 176, Out::InputRanDry, kSome, kSome},
      {"output fills", In::NoDataNow, In::NoDataNow, 100, Out::HaveData, 100, kSome},
      {"end with frames, flushed", In::EndOfStream, In::EndOfStream, 176, Out::EndOfStream, 160, 160},
      {"end, the flush does not fit", In::EndOfStream, In::EndOfStream, 150, Out::HaveData, 150, 160},
      {"data claimed, no buffer: keeps what came first", In::HaveData, In::HaveData, 176, Out::Error, 0,
       kSome},
      {"unknown input status", In(7), In(7), 176, Out::Error, 0, 0},
  };
  const auto matches = [](std::size_t n, std::size_t expected) {
    return expected == kSome ? n > 100 && n < 160 : n == expected;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pcm pcm(kF32, true, {tone(1000, 48000, 480)});
    Rig rig(kF32, 48000, 1, true);
    const auto buffer = pcm.wrap(*rig.media, *rig.in, 0, 480);
    const Result r = rig.convert(buffer.get(), c.capacity, c.first, c.then);
    EXPECT_EQ(r.status, c.expected);
    EXPECT_EQ(r.error.has_value(), c.expected == Out::Error);
    // Once the stream has ended, the rest comes without input being asked for.
    const Result drain = rig.convert(nullptr, 1000, In::NoDataNow);
    const bool ended = c.first == In::EndOfStream;
    EXPECT_EQ(drain.inputRequests, ended ? 0 : 1);
    EXPECT_EQ(drain.status, ended ? Out::EndOfStream : Out::InputRanDry);
    EXPECT_TRUE(matches(r.samples.size(), c.frames)) << r.samples.size();
    EXPECT_TRUE(matches(r.samples.size() + drain.samples.size(), c.total));
  }
}

TEST(SoftConverter, BuffersInAnotherFormatAreErrors) {
  Rig rig(kF32, 48000, 2, true);
  auto at44 = rig.media->makeBuffer(*rig.media->formatWithCommonFormat(kF32, 44100, 2, true), 480);
  at44->setFrameLength(480);
  const Result r = rig.convert(at44.get(), 400);
  EXPECT_EQ(r.status, Out::Error);
  EXPECT_TRUE(r.error && !r.error->localizedDescription().empty());
  rig.out = rig.media->formatWithCommonFormat(kF32, 16000, 1, true);
  EXPECT_EQ(rig.convert(nullptr, 400, In::NoDataNow).status, Out::Error) << "output in float";
}

}  // namespace
}  // namespace audiotap::platform::soft
