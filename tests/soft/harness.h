// Signals, buffer lists and a driver that feeds the converter the way the IO
// block does, for the software media's tests.
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
#include "platform/types.h"

namespace audiotap::soft::harness {

using platform::AudioBufferList;
using platform::CommonFormat;
using platform::StreamDescription;

inline std::vector<float> tone(double hz, double rate, std::size_t frames, double amplitude = 0.5) {
  std::vector<float> out(frames);
  for (std::size_t i = 0; i < frames; ++i)
    out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate));
  return out;
}

inline StreamDescription description(CommonFormat sample, double rate, std::uint32_t channels,
                                     bool interleaved) {
  const std::uint32_t bytes = sample == CommonFormat::Int16 ? 2 : 4;
  const std::uint32_t frameBytes = interleaved ? bytes * channels : bytes;
  std::uint32_t flags = platform::kAudioFormatFlagIsPacked;
  flags |= sample == CommonFormat::Int16 ? platform::kAudioFormatFlagIsSignedInteger
                                         : platform::kAudioFormatFlagIsFloat;
  if (!interleaved) flags |= platform::kAudioFormatFlagIsNonInterleaved;
  return {rate, platform::kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes, channels, bytes * 8, 0};
}

// An AudioBufferList with room for any number of buffers.
class BufferList {
 public:
  explicit BufferList(std::uint32_t count)
      : storage_(offsetof(AudioBufferList, mBuffers) +
                 std::max<std::uint32_t>(count, 1) * sizeof(platform::AudioBuffer)) {
    get()->mNumberBuffers = count;
  }
  AudioBufferList* get() { return reinterpret_cast<AudioBufferList*>(storage_.data()); }
  platform::AudioBuffer& operator[](std::uint32_t i) { return (&get()->mBuffers[0])[i]; }

 private:
  std::vector<std::byte> storage_;
};

// Audio in one of the media's layouts, made from one float signal per channel.
struct Pcm {
  CommonFormat sample;
  std::uint32_t channels;
  bool interleaved;
  std::size_t frames;
  std::vector<std::vector<std::byte>> buffers;

  Pcm(CommonFormat sample, bool interleaved, const std::vector<std::vector<float>>& signals)
      : sample(sample),
        channels(std::uint32_t(signals.size())),
        interleaved(interleaved || signals.size() == 1),
        frames(signals[0].size()) {
    const std::size_t bytes = sampleBytes();
    buffers.assign(this->interleaved ? 1 : channels,
                   std::vector<std::byte>(frames * bytes * (this->interleaved ? channels : 1)));
    for (std::uint32_t c = 0; c < channels; ++c) {
      for (std::size_t i = 0; i < frames; ++i) {
        std::byte* at = this->interleaved ? buffers[0].data() + (i * channels + c) * bytes
                                          : buffers[c].data() + i * bytes;
        if (sample == CommonFormat::Int16) {
          const double scaled = std::round(double(signals[c][i]) * 32768.0);
          const auto v = std::int16_t(std::clamp(scaled, -32768.0, 32767.0));
          std::memcpy(at, &v, 2);
        } else {
          std::memcpy(at, &signals[c][i], 4);
        }
      }
    }
  }
  std::size_t sampleBytes() const { return sample == CommonFormat::Int16 ? 2 : 4; }
  std::size_t frameBytes() const { return sampleBytes() * (interleaved ? channels : 1); }

  // Frames [first, first + count) as the device would deliver them.
  BufferList slice(std::size_t first, std::size_t count) {
    BufferList list(std::uint32_t(buffers.size()));
    for (std::uint32_t b = 0; b < buffers.size(); ++b) {
      list[b].mNumberChannels = interleaved ? channels : 1;
      list[b].mDataByteSize = std::uint32_t(count * frameBytes());
      list[b].mData = buffers[b].data() + first * frameBytes();
    }
    return list;
  }
};

// Amplitude of the component at `hz`, and what is left once it is taken out,
// both relative to full scale. Exact when the window holds whole cycles.
struct ToneFit {
  double amplitude;
  double residualRms;
};

inline ToneFit fitTone(const std::vector<std::int16_t>& x, std::size_t first, std::size_t count, double hz,
                       double rate) {
  double c = 0, s = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double phase = 2 * std::numbers::pi * hz * double(i) / rate;
    c += x[first + i] * std::cos(phase);
    s += x[first + i] * std::sin(phase);
  }
  c *= 2.0 / count;
  s *= 2.0 / count;
  double residual = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double phase = 2 * std::numbers::pi * hz * double(i) / rate;
    const double r = x[first + i] - c * std::cos(phase) - s * std::sin(phase);
    residual += r * r;
  }
  return {std::hypot(c, s) / 32768.0, std::sqrt(residual / count) / 32768.0};
}

struct Result {
  platform::ConverterOutputStatus status;
  std::vector<std::int16_t> samples;
  std::optional<platform::ConverterError> error;
  int inputRequests = 0;
};

// A converter from `sample` at `inRate` with `channels` to int16 mono at
// `outRate`, driven as the IO block drives it.
struct Rig {
  std::unique_ptr<platform::Media> media = makeSoftMedia();
  std::unique_ptr<platform::AudioFormat> in;
  std::unique_ptr<platform::AudioFormat> out;
  std::unique_ptr<platform::Converter> converter;
  double inRate;
  double outRate;

  Rig(CommonFormat sample, double inRate, std::uint32_t channels, bool interleaved, double outRate)
      : inRate(inRate), outRate(outRate) {
    const StreamDescription d = description(sample, inRate, channels, interleaved);
    in = media->formatWithStreamDescription(&d);
    out = media->formatWithCommonFormat(CommonFormat::Int16, outRate, 1, true);
    if (in && out) converter = media->makeConverter(*in, *out);
  }

  std::uint32_t capacityFor(std::size_t frames) const {
    return std::uint32_t(std::ceil(double(frames) * outRate / inRate) + 16);
  }

  // Hands `buffer` over once with `first`, then answers `then` with no buffer.
  Result convert(platform::PcmBuffer* buffer, std::uint32_t capacity,
                 platform::ConverterInputStatus first = platform::ConverterInputStatus::HaveData,
                 platform::ConverterInputStatus then = platform::ConverterInputStatus::NoDataNow) {
    auto output = media->makeBuffer(*out, capacity);
    Result result;
    result.status = converter->convert(*output, &result.error,
                                       [&](std::uint32_t, platform::ConverterInputStatus* status) {
                                         *status = result.inputRequests++ == 0 ? first : then;
                                         return result.inputRequests == 1 ? buffer : nullptr;
                                       });
    if (output->frameLength() > 0) {
      const std::int16_t* samples = output->int16ChannelData()[0];
      result.samples.assign(samples, samples + output->frameLength());
    }
    return result;
  }

  // One IO-block call over frames [first, first + count) of `pcm`.
  Result call(Pcm& pcm, std::size_t first, std::size_t count, std::uint32_t capacity = 0) {
    BufferList list = pcm.slice(first, count);
    auto buffer = media->wrapBufferListNoCopy(*in, list.get());
    return convert(buffer.get(), capacity == 0 ? capacityFor(count) : capacity);
  }

  // Tells the converter the stream has ended and collects the rest.
  std::vector<std::int16_t> finish(std::uint32_t capacity = 64) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 100000; ++i) {
      const Result r = convert(nullptr, capacity, platform::ConverterInputStatus::EndOfStream,
                               platform::ConverterInputStatus::EndOfStream);
      samples.insert(samples.end(), r.samples.begin(), r.samples.end());
      if (r.status != platform::ConverterOutputStatus::HaveData) break;
    }
    return samples;
  }

  // The whole of `pcm` in calls of the given sizes, cycled, then the end.
  std::vector<std::int16_t> stream(Pcm& pcm, const std::vector<std::size_t>& sizes) {
    std::vector<std::int16_t> samples;
    for (std::size_t first = 0, k = 0; first < pcm.frames; ++k) {
      const std::size_t count = std::min(sizes[k % sizes.size()], pcm.frames - first);
      const Result r = call(pcm, first, count);
      samples.insert(samples.end(), r.samples.begin(), r.samples.end());
      first += count;
    }
    const auto rest = finish();
    samples.insert(samples.end(), rest.begin(), rest.end());
    return samples;
  }
};

}  // namespace audiotap::soft::harness
