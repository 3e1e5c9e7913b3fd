#include "platform/soft/converter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/soft/resampler.h"

namespace audiotap::platform::soft {
namespace {

using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;

constexpr std::uint32_t kChunkFrames = 1024;
// NaN and infinities would smear over the filter's whole length and reach the
// int16 conversion, where NaN has no value.
constexpr float kInputLimit = 1e4f;

float tame(float v) {
  return v >= -kInputLimit && v <= kInputLimit ? v : v > 0 ? kInputLimit : v < 0 ? -kInputLimit : 0.f;
}

// Adding 1.5 * 2^23 leaves the float no fraction bits, so the hardware rounds
// to nearest (ties to even) in a way the compiler can vectorise, unlike lrintf.
std::int16_t toInt16(float v) {
  constexpr float kRound = 12582912.f;
  float s = v * 32768.f;
  s = s > 32767.f ? 32767.f : s < -32768.f ? -32768.f : s;
  return std::int16_t((s + kRound) - kRound);
}

struct Sink {
  std::int16_t* data;
  std::uint32_t capacity;
  std::uint32_t written;
  std::uint32_t room() const { return capacity - written; }
};

class SoftConverter final : public platform::Converter {
 public:
  SoftConverter(const Layout& from, const Layout& to, std::unique_ptr<Resampler> resampler)
      : from_(from),
        to_(to),
        resampler_(std::move(resampler)),
        mono_(kChunkFrames),
        resampled_(kChunkFrames) {
    pending_.reserve(4 * kChunkFrames);
  }

  ConverterOutputStatus convert(platform::PcmBuffer& output, std::optional<platform::ConverterError>* error,
                                platform::ConverterInputBlock input) override;

 private:
  ConverterOutputStatus fail(SoftBuffer* output, Sink& sink, std::optional<platform::ConverterError>* error,
                             const char* message);
  std::uint32_t packetsFor(const Sink& sink) const;
  void drainPending(Sink& sink);
  void deliver(const float* samples, std::uint32_t count, Sink& sink);
  template <class T>
  void mixDown(const SoftBuffer& buffer, std::uint32_t first, std::uint32_t frames, float scale);
  void push(const SoftBuffer& buffer, Sink& sink);
  void resample(const float* mono, std::uint32_t frames, Sink& sink);
  void flush(Sink& sink);

  const Layout from_;
  const Layout to_;
  const std::unique_ptr<Resampler> resampler_;  // null when the rates are the same
  std::vector<float> mono_;
  std::vector<float> resampled_;
  std::vector<std::int16_t> pending_;  // converted, not yet delivered: goes out first
  std::uint64_t resamplerIn_ = 0;
  std::uint64_t resamplerOut_ = 0;
  bool ended_ = false;
};

ConverterOutputStatus SoftConverter::convert(platform::PcmBuffer& output,
                                             std::optional<platform::ConverterError>* error,
                                             platform::ConverterInputBlock input) {
  auto* out = dynamic_cast<SoftBuffer*>(&output);
  Sink sink{nullptr, 0, 0};
  if (out == nullptr || !(out->layout() == to_)) {
    return fail(out, sink, error, "The output buffer is not in the converter's output format.");
  }
  sink = Sink{reinterpret_cast<std::int16_t*>(out->data(0)), out->capacity(), 0};
  drainPending(sink);

  ConverterOutputStatus status;
  // Input is asked for at least once even when the backlog fills the output:
  // a caller that hands each buffer over only once would otherwise lose it.
  for (bool asked = false;; asked = true) {
    if (ended_) {
      status = pending_.empty() ? ConverterOutputStatus::EndOfStream : ConverterOutputStatus::HaveData;
      break;
    }
    if (sink.room() == 0 && asked) {
      status = ConverterOutputStatus::HaveData;
      break;
    }
    auto inputStatus = ConverterInputStatus::NoDataNow;
    platform::PcmBuffer* in = input(packetsFor(sink), &inputStatus);
    if (inputStatus != ConverterInputStatus::HaveData && inputStatus != ConverterInputStatus::NoDataNow &&
        inputStatus != ConverterInputStatus::EndOfStream) {
      return fail(out, sink, error, "The input block returned an unknown status.");
    }
    if (in == nullptr && inputStatus == ConverterInputStatus::HaveData) {
      return fail(out, sink, error, "The input block reported data but returned no buffer.");
    }
    if (in != nullptr) {
      const auto* buffer = dynamic_cast<const SoftBuffer*>(in);
      if (buffer == nullptr || !(buffer->layout() == from_)) {
        return fail(out, sink, error, "The input buffer is not in the converter's input format.");
      }
      push(*buffer, sink);
    }
    if (inputStatus == ConverterInputStatus::EndOfStream) {
      flush(sink);
      ended_ = true;
    } else if (inputStatus == ConverterInputStatus::NoDataNow || in->frameLength() == 0) {
      // An empty buffer with HaveData would otherwise be asked for again for ever.
      status = sink.room() == 0 ? ConverterOutputStatus::HaveData : ConverterOutputStatus::InputRanDry;
      break;
    }
  }
  out->setFrameLength(sink.written);
  return status;
}

// What this call already delivered goes back in front of the queue, so a bad
// buffer costs no audio that came before it.
ConverterOutputStatus SoftConverter::fail(SoftBuffer* output, Sink& sink,
                                          std::optional<platform::ConverterError>* error,
                                          const char* message) {
  if (sink.written > 0) pending_.insert(pending_.begin(), sink.data, sink.data + sink.written);
  if (output != nullptr) output->setFrameLength(0);
  if (error != nullptr) *error = platform::ConverterError{message};
  return ConverterOutputStatus::Error;
}

std::uint32_t SoftConverter::packetsFor(const Sink& sink) const {
  if (!resampler_) return sink.room();
  const Ratio r = resampler_->ratio();
  const std::uint64_t packets = (std::uint64_t(sink.room()) * r.in + r.out - 1) / r.out;
  return std::uint32_t(std::min<std::uint64_t>(packets, UINT32_MAX));
}

void SoftConverter::drainPending(Sink& sink) {
  const std::uint32_t n = std::uint32_t(std::min<std::size_t>(pending_.size(), sink.room()));
  std::copy_n(pending_.begin(), n, sink.data + sink.written);
  sink.written += n;
  pending_.erase(pending_.begin(), pending_.begin() + n);
}

void SoftConverter::deliver(const float* samples, std::uint32_t count, Sink& sink) {
  const std::uint32_t n = std::min(count, sink.room());
  std::int16_t* out = sink.data + sink.written;
  for (std::uint32_t i = 0; i < n; ++i) out[i] = toInt16(samples[i]);
  sink.written += n;
  for (std::uint32_t i = n; i < count; ++i) pending_.push_back(toInt16(samples[i]));
}

template <class T>
void SoftConverter::mixDown(const SoftBuffer& buffer, std::uint32_t first, std::uint32_t frames,
                            float scale) {
  const std::uint32_t channels = from_.channels;
  float* mono = mono_.data();
  if (from_.interleaved) {
    const T* in = reinterpret_cast<const T*>(buffer.data(0)) + std::size_t(first) * channels;
    for (std::uint32_t i = 0; i < frames; ++i, in += channels) {
      float sum = 0;
      for (std::uint32_t c = 0; c < channels; ++c) sum += float(in[c]);
      mono[i] = sum;
    }
  } else {
    const T* in = reinterpret_cast<const T*>(buffer.data(0)) + first;
    for (std::uint32_t i = 0; i < frames; ++i) mono[i] = float(in[i]);
    for (std::uint32_t c = 1; c < channels; ++c) {
      in = reinterpret_cast<const T*>(buffer.data(c)) + first;
      for (std::uint32_t i = 0; i < frames; ++i) mono[i] += float(in[i]);
    }
  }
  for (std::uint32_t i = 0; i < frames; ++i) mono[i] = tame(mono[i] * scale);
}

void SoftConverter::push(const SoftBuffer& buffer, Sink& sink) {
  const bool int16 = from_.sample == CommonFormat::Int16;
  const float scale = (int16 ? 1.f / 32768.f : 1.f) / float(from_.channels);
  const std::uint32_t frames = buffer.frameLength();
  for (std::uint32_t first = 0; first < frames; first += kChunkFrames) {
    const std::uint32_t n = std::min(kChunkFrames, frames - first);
    if (int16) {
      mixDown<std::int16_t>(buffer, first, n, scale);
    } else {
      mixDown<float>(buffer, first, n, scale);
    }
    if (resampler_) {
      resample(mono_.data(), n, sink);
    } else {
      deliver(mono_.data(), n, sink);
    }
  }
}

void SoftConverter::resample(const float* mono, std::uint32_t frames, Sink& sink) {
  resamplerIn_ += frames;
  while (frames > 0) {
    std::uint32_t consumed = frames;
    std::uint32_t produced = std::uint32_t(resampled_.size());
    resampler_->process(mono, consumed, resampled_.data(), produced);
    if (consumed == 0 && produced == 0) break;
    resamplerOut_ += produced;
    deliver(resampled_.data(), produced, sink);
    mono += consumed;
    frames -= consumed;
  }
}

// Zeros carry the last input through the filter; the output stops where the
// input's own length ends, so a stream of N frames becomes ceil(N / ratio).
void SoftConverter::flush(Sink& sink) {
  if (!resampler_) return;
  const Ratio r = resampler_->ratio();
  const std::uint64_t total = (resamplerIn_ * r.out + r.in - 1) / r.in;
  std::fill(mono_.begin(), mono_.end(), 0.f);
  std::uint64_t zeros = resampler_->tailFrames() + 2 * std::uint64_t(r.in);
  while (zeros > 0 && resamplerOut_ < total) {
    std::uint32_t consumed = std::uint32_t(std::min<std::uint64_t>(zeros, kChunkFrames));
    std::uint32_t produced = std::uint32_t(std::min<std::uint64_t>(resampled_.size(), total - resamplerOut_));
    resampler_->process(mono_.data(), consumed, resampled_.data(), produced);
    if (consumed == 0 && produced == 0) break;
    zeros -= consumed;
    resamplerOut_ += produced;
    deliver(resampled_.data(), produced, sink);
  }
}

}  // namespace

std::unique_ptr<platform::Converter> makeConverter(const Layout& from, const Layout& to, int quality) {
  if (to.sample != CommonFormat::Int16 || to.channels != 1) return nullptr;
  const auto ratio = rateRatio(from.rate, to.rate);
  if (!ratio) return nullptr;
  std::unique_ptr<Resampler> resampler;
  if (ratio->in != ratio->out) {
    resampler = Resampler::make(from.rate, to.rate, quality);
    if (!resampler) return nullptr;
  }
  return std::make_unique<SoftConverter>(from, to, std::move(resampler));
}

}  // namespace audiotap::platform::soft
