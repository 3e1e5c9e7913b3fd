// The level meter: frames written so far and the loudest sample since the
// last "level" event.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace audiotap::realtime {

class Meter {
 public:
  // Monotonic, so a change of the wall clock cannot hold back "level" events.
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();

  explicit Meter(Now now = &Clock::now) : lastReport(now()), now(now) {}

  // Written by the writer only; atomic because the stop may read it while a
  // write that is stuck has not returned.
  std::atomic<std::int64_t> frames{0};
  float peak = 0;
  Clock::time_point lastReport;
  const Now now;
};

// The largest |sample| / 32768 of the samples, 0 for none.
float bufferPeak(const std::int16_t* samples, std::uint32_t count);

// Counts the samples and raises the peak; call before writing them.
void meterUpdate(Meter& meter, const std::int16_t* samples, std::uint32_t count);

// Emits "level" and starts a new peak when a second or more has passed since
// the last report; call after writing the samples.
void reportIfDue(Meter& meter);

}  // namespace audiotap::realtime
