// The level meter: frames written so far and the loudest sample since the
// last "level" event, of all channels and of each.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace audiotap::realtime {

class Meter {
 public:
  // Monotonic, so a change of the wall clock cannot hold back "level" events.
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();

  static constexpr std::uint32_t kMostChannels = 2;

  // Samples come interleaved, `channels` to a frame (1 or 2).
  explicit Meter(Now now = &Clock::now, std::uint32_t channels = 1)
      : lastReport(now()), now(now), channels(channels) {}

  // Written by the writer only; atomic because the stop may read it while a
  // write that is stuck has not returned.
  std::atomic<std::int64_t> frames{0};
  // The loudest of all channels, and of each.
  float peak = 0;
  std::array<float, kMostChannels> peaks{};
  Clock::time_point lastReport;
  const Now now;
  const std::uint32_t channels;
};

// The largest |sample| / 32768 of the samples, 0 for none.
float bufferPeak(const std::int16_t* samples, std::uint32_t count);

// Counts the frames of `count` interleaved samples (whole frames) and raises
// the peaks; call before writing them.
void meterUpdate(Meter& meter, const std::int16_t* samples, std::uint32_t count);

// Emits "level" (with "peaks" when there is more than one channel) and
// starts new peaks when a second or more has passed since the last report;
// call after writing the samples.
void reportIfDue(Meter& meter);

}  // namespace audiotap::realtime
