// The canceller of the speakers' sound in the microphone's: it learns the
// path from the reference (what the system plays) to the microphone and
// subtracts its estimate. 10 ms frames of 16-bit mono at one rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace audiotap::realtime {

class EchoCanceller {
 public:
  virtual ~EchoCanceller() = default;
  // Samples in one 10 ms frame.
  virtual std::size_t frameSamples() const = 0;
  // One frame of the reference, given before the microphone's frames that
  // may hold its echo.
  virtual void analyzeReference(const std::int16_t* frame) noexcept = 0;
  // One frame of the microphone, its echo removed in place; false when the
  // canceller failed, the frame then as it came.
  virtual bool processMicrophone(std::int16_t* frame) noexcept = 0;
  // How far the canceller's output lags its input, in samples.
  virtual std::size_t delaySamples() const = 0;
};

// Whether this build has a canceller at all.
bool echoCancellerBuilt();
// A canceller for 16-bit mono at `rate`; null when this build has none, or
// it cannot work at that rate.
std::unique_ptr<EchoCanceller> makeEchoCanceller(double rate);

}  // namespace audiotap::realtime
