// Signals, buffer lists and a driver that feeds the converter the way the IO
// block does.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "platform/media.h"
#include "platform/soft/soft_media.h"

namespace audiotap::soft::harness {

using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::StreamDescription;

inline std::vector<float> tone(double hz, double rate, std::size_t frames, double amplitude = 0.5) {
  std::vector<float> out(frames);
  for (std::size_t i = 0; i < frames; ++i)
    out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate));
  return out;
}

inline StreamDescription description(CommonFormat sample, double rate, std::uint32_t channels,
                                     bool interleaved) {
  const std::uint32_t bytes = sample == CommonFormat::Int16 ? 2 : 4,
                      frameBytes = interleaved ? bytes * channels : bytes;
  const std::uint32_t flags = platform::kAudioFormatFlagIsPacked |
                              (sample == CommonFormat::Int16 ? platform::kAudioFormatFlagIsSignedInteger
                                                             : platform::kAudioFormatFlagIsFloat) |
                              (interleaved ? 0 : platform::kAudioFormatFlagIsNonInterleaved);
  return {rate, platform::kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes, channels, bytes * 8, 0};
}

// An AudioBufferList with room for any number of buffers.
class BufferList {
 public:
  explicit BufferList(std::uint32_t count) : storage_(1 + std::max(count, 1u)) {
    get()->mNumberBuffers = count;
  }
  platform::AudioBufferList* get() { return reinterpret_cast<platform::AudioBufferList*>(storage_.data()); }
  platform::AudioBuffer& operator[](std::uint32_t i) { return (&get()->mBuffers[0])[i]; }

 private:
  std::vector<platform::AudioBuffer> storage_;
};

// Audio in one of the media's layouts, made from one float signal per channel.
struct Pcm {
  CommonFormat sample;
  bool interleaved;
  std::uint32_t channels;
  std::size_t frames;
  std::size_t sampleBytes;
  std::vector<std::vector<std::byte>> buffers;

  Pcm(CommonFormat sample, bool interleaved, const std::vector<std::vector<float>>& signals)
      : sample(sample),
        interleaved(interleaved || signals.size() == 1),
        channels(std::uint32_t(signals.size())),
        frames(signals[0].size()),
        sampleBytes(sample == CommonFormat::Int16 ? 2 : 4) {
    const std::uint32_t perBuffer = this->interleaved ? channels : 1;
    buffers.assign(channels / perBuffer, std::vector<std::byte>(frames * sampleBytes * perBuffer));
    for (std::uint32_t c = 0; c < channels; ++c) {
      for (std::size_t i = 0; i < frames; ++i) {
        std::byte* at = buffers[c / perBuffer].data() + (i * perBuffer + c % perBuffer) * sampleBytes;
        if (sample == CommonFormat::Float32) {
          std::memcpy(at, &signals[c][i], 4);
          continue;
        }
        const auto v =
            std::int16_t(std::clamp(std::round(double(signals[c][i]) * 32768.0), -32768.0, 32767.0));
        std::memcpy(at, &v, 2);
      }
    }
  }

  // Frames [first, first + count) as the device would deliver them.
  BufferList slice(std::size_t first, std::size_t count) {
    BufferList list(std::uint32_t(buffers.size()));
    const std::uint32_t perBuffer = interleaved ? channels : 1;
    for (std::uint32_t b = 0; b < buffers.size(); ++b) {
      list[b] = {perBuffer, std::uint32_t(count * sampleBytes * perBuffer),
                 buffers[b].data() + first * sampleBytes * perBuffer};
    }
    return list;
  }
};

// Amplitude of the component at `hz` and the rms of what is left without it,
// relative to full scale; exact over whole cycles.
inline std::pair<double, double> fitTone(const std::vector<std::int16_t>& x, std::size_t first,
                                         std::size_t count, double hz, double rate) {
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
  ConverterOutputStatus status;
  std::vector<std::int16_t> samples;
  std::optional<platform::ConverterError> error;
  int inputRequests = 0;
};

// A converter to int16 mono at `outRate`, driven as the IO block drives it.
struct Rig {
  std::unique_ptr<platform::Media> media = makeSoftMedia();
  std::unique_ptr<platform::AudioFormat> in, out;
  std::unique_ptr<platform::Converter> converter;
  double inRate, outRate;

  Rig(CommonFormat sample, double inRate, std::uint32_t channels, bool interleaved, double outRate = 16000)
      : inRate(inRate), outRate(outRate) {
    const StreamDescription d = description(sample, inRate, channels, interleaved);
    in = media->formatWithStreamDescription(&d);
    out = media->formatWithCommonFormat(CommonFormat::Int16, outRate, 1, true);
    if (in && out) converter = media->makeConverter(*in, *out);
  }

  // Answers `first` with `buffer`, then `then` with no buffer.
  Result convert(platform::PcmBuffer* buffer, std::uint32_t capacity,
                 ConverterInputStatus first = ConverterInputStatus::HaveData,
                 ConverterInputStatus then = ConverterInputStatus::NoDataNow) {
    auto output = media->makeBuffer(*out, capacity);
    Result r;
    r.status = converter->convert(*output, &r.error, [&](std::uint32_t, ConverterInputStatus* status) {
      *status = r.inputRequests++ == 0 ? first : then;
      return r.inputRequests == 1 ? buffer : nullptr;
    });
    const std::int16_t* samples = output->int16ChannelData()[0];
    r.samples.assign(samples, samples + output->frameLength());
    return r;
  }

  // One IO-block call over frames [first, first + count) of `pcm`.
  Result call(Pcm& pcm, std::size_t first, std::size_t count, std::uint32_t capacity = 0) {
    BufferList list = pcm.slice(first, count);
    auto buffer = media->wrapBufferListNoCopy(*in, list.get());
    return convert(buffer.get(),
                   capacity != 0 ? capacity : std::uint32_t(std::ceil(count * outRate / inRate) + 16));
  }

  // Ends the stream and collects the rest.
  std::vector<std::int16_t> finish(std::uint32_t capacity = 64) {
    std::vector<std::int16_t> samples;
    for (Result r{ConverterOutputStatus::HaveData, {}, {}}; r.status == ConverterOutputStatus::HaveData;) {
      r = convert(nullptr, capacity, ConverterInputStatus::EndOfStream, ConverterInputStatus::EndOfStream);
      samples.insert(samples.end(), r.samples.begin(), r.samples.end());
    }
    return samples;
  }

  // The whole of `pcm` in calls of the given sizes, cycled, then the end.
  std::vector<std::int16_t> stream(Pcm& pcm, const std::vector<std::size_t>& sizes) {
    std::vector<std::int16_t> samples;
    for (std::size_t first = 0, k = 0; first < pcm.frames; first += sizes[k++ % sizes.size()]) {
      const Result r = call(pcm, first, std::min(sizes[k % sizes.size()], pcm.frames - first));
      samples.insert(samples.end(), r.samples.begin(), r.samples.end());
    }
    const auto rest = finish();
    samples.insert(samples.end(), rest.begin(), rest.end());
    return samples;
  }
};

}  // namespace audiotap::soft::harness
