#include "platform/sim/tone.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace audiotap::platform::sim {

using platform::AudioBuffer;
using platform::AudioBufferList;

double toneSample(double hz, double amplitude, double sampleRate, std::uint64_t index) {
  // Reducing the phase before scaling keeps late samples as exact as early ones.
  const double cycles = std::fmod(hz * double(index), sampleRate) / sampleRate;
  return amplitude * std::sin(2 * std::numbers::pi * cycles);
}

std::int16_t toInt16(double sample) {
  return std::int16_t(std::clamp<long>(std::lround(sample * 32768.0), -32768, 32767));
}

platform::StreamDescription streamDescription(const ToneFormat& format) {
  const bool isFloat = format.sampleType == SampleType::Float32;
  std::uint32_t flags =
      platform::kAudioFormatFlagIsPacked |
      (isFloat ? platform::kAudioFormatFlagIsFloat : platform::kAudioFormatFlagIsSignedInteger);
  if (!format.interleaved) flags |= platform::kAudioFormatFlagIsNonInterleaved;
  return {format.sampleRate,
          platform::kAudioFormatLinearPCM,
          flags,
          format.bytesPerFrame,
          1,
          format.bytesPerFrame,
          format.channels,
          isFloat ? 32u : 16u,
          0};
}

ToneGenerator::ToneGenerator(const ToneFormat& format, double hz, double amplitude,
                             std::uint32_t framesPerBuffer)
    : format_(format),
      hz_(hz),
      amplitude_(amplitude),
      frames_(framesPerBuffer),
      buffers_(format.interleaved ? 1 : format.channels) {
  const std::uint32_t sampleBytes = format.sampleType == SampleType::Float32 ? 4 : 2;
  bytesPerBuffer_ = frames_ * sampleBytes * (format.interleaved ? format.channels : 1);
  const std::size_t listBytes = sizeof(AudioBufferList) + (buffers_ - 1) * sizeof(AudioBuffer);
  listStorage_.resize((listBytes + 7) / 8);
  // Room for a short buffer too, whatever bytes per frame the script claims.
  const std::size_t dataBytes = std::max<std::size_t>(bytesPerBuffer_, format.bytesPerFrame);
  data_.assign(buffers_, std::vector<std::uint64_t>((dataBytes + 7) / 8));
}

const AudioBufferList* ToneGenerator::next(bool mismatched) {
  AudioBufferList* l = list();
  l->mNumberBuffers = buffers_;
  const std::uint32_t channelsPerBuffer = (format_.interleaved ? format_.channels : 1) + (mismatched ? 1 : 0);
  for (std::uint32_t b = 0; b < buffers_; ++b) l->mBuffers[b] = {channelsPerBuffer, bytesPerBuffer_, data_[b].data()};
  const std::uint32_t channels = format_.channels;
  for (std::uint32_t frame = 0; frame < frames_; ++frame) {
    double sample = 0;
    if (tones_) {
      for (const double hz : *tones_) sample += toneSample(hz, amplitude_, format_.sampleRate, index_ + frame);
    } else {
      sample = toneSample(hz_, amplitude_, format_.sampleRate, index_ + frame);
    }
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
      const std::uint32_t buffer = format_.interleaved ? 0 : channel;
      const std::size_t slot = format_.interleaved ? std::size_t(frame) * channels + channel : frame;
      if (format_.sampleType == SampleType::Float32) {
        static_cast<float*>(l->mBuffers[buffer].mData)[slot] = float(sample);
      } else {
        static_cast<std::int16_t*>(l->mBuffers[buffer].mData)[slot] = toInt16(sample);
      }
    }
  }
  index_ += frames_;
  return l;
}

const AudioBufferList* ToneGenerator::odd(OddBuffer kind) {
  AudioBufferList* l = list();
  if (kind == OddBuffer::None) {
    l->mNumberBuffers = 0;
    return l;
  }
  std::memset(data_[0].data(), 0, data_[0].size() * 8);
  l->mNumberBuffers = 1;
  const std::uint32_t bytes =
      kind == OddBuffer::Empty || format_.bytesPerFrame == 0 ? 0 : format_.bytesPerFrame - 1;
  l->mBuffers[0] = {1, bytes, data_[0].data()};
  return l;
}

}  // namespace audiotap::platform::sim
