// The simulator's audio: a sine rendered into buffer lists laid out in the
// scripted tap format. The phase runs on across buffers, so the sample at
// index k is the same whatever the buffer size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sim/script.h"
#include "platform/types.h"

namespace audiotap::platform::sim {

// amplitude · sin(2π · hz · index / rate), exact for integral hz and rate.
double toneSample(double hz, double amplitude, double sampleRate, std::uint64_t index);
// Full scale is 32768 on the way in, clamped to the 16-bit range.
std::int16_t toInt16(double sample);

// The stream description the tap reports for a scripted format.
platform::StreamDescription streamDescription(const ToneFormat& format);

class ToneGenerator {
 public:
  ToneGenerator(const ToneFormat& format, double hz, double amplitude, std::uint32_t framesPerBuffer);

  // The next buffer of the sine; valid until the next call of either method.
  // A mismatched one claims one channel more per buffer than the format has.
  const platform::AudioBufferList* next(bool mismatched = false);
  const platform::AudioBufferList* odd(OddBuffer kind);
  // From the next buffer on, the sum of these sines (each at the amplitude)
  // in place of the one; none: silence. Every sine keeps the one phase clock.
  void setTones(std::vector<double> hz) { tones_ = std::move(hz); }

 private:
  platform::AudioBufferList* list() {
    return reinterpret_cast<platform::AudioBufferList*>(listStorage_.data());
  }

  ToneFormat format_;
  double hz_;
  std::optional<std::vector<double>> tones_;
  double amplitude_;
  std::uint32_t frames_;
  std::uint64_t index_ = 0;
  std::uint32_t buffers_;
  std::uint32_t bytesPerBuffer_;
  std::vector<std::uint64_t> listStorage_;
  std::vector<std::vector<std::uint64_t>> data_;
};

}  // namespace audiotap::platform::sim
