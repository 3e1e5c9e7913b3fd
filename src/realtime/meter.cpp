#include "realtime/meter.h"

#include "events/channel.h"

namespace audiotap::realtime {

float bufferPeak(const std::int16_t* samples, std::uint32_t count) {
  int largest = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const int magnitude = samples[i] < 0 ? -int(samples[i]) : int(samples[i]);
    if (magnitude > largest) largest = magnitude;
  }
  return float(largest) * (1.0f / 32768.0f);
}

void meterUpdate(Meter& meter, const std::int16_t* samples, std::uint32_t count) {
  meter.frames.store(meter.frames.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
  const float peak = bufferPeak(samples, count);
  if (peak > meter.peak) meter.peak = peak;
}

void reportIfDue(Meter& meter) {
  if (meter.now() - meter.lastReport < std::chrono::seconds(1)) return;
  events::emit("level", {{"peak", meter.peak}, {"frames", meter.frames.load(std::memory_order_relaxed)}});
  meter.peak = 0;
  meter.lastReport = meter.now();
}

}  // namespace audiotap::realtime
