#include "realtime/meter.h"

#include <algorithm>

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
  const std::uint32_t channels = meter.channels;
  meter.frames.store(meter.frames.load(std::memory_order_relaxed) + count / channels, std::memory_order_relaxed);
  if (channels == 1) {
    meter.peak = std::max(meter.peak, bufferPeak(samples, count));
    return;
  }
  int largest[Meter::kMostChannels] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    const int magnitude = samples[i] < 0 ? -int(samples[i]) : int(samples[i]);
    int& channel = largest[i % channels];
    if (magnitude > channel) channel = magnitude;
  }
  for (std::uint32_t c = 0; c < channels; ++c) {
    const float peak = float(largest[c]) * (1.0f / 32768.0f);
    meter.peaks[c] = std::max(meter.peaks[c], peak);
    meter.peak = std::max(meter.peak, peak);
  }
}

void reportIfDue(Meter& meter) {
  if (meter.now() - meter.lastReport < std::chrono::seconds(1)) return;
  platform::Dictionary level{{"peak", meter.peak}, {"frames", meter.frames.load(std::memory_order_relaxed)}};
  if (meter.channels > 1) {
    platform::Array peaks;
    for (std::uint32_t c = 0; c < meter.channels; ++c) peaks.emplace_back(meter.peaks[c]);
    level.emplace_back("peaks", std::move(peaks));
  }
  events::emit("level", level);
  meter.peak = 0;
  meter.peaks = {};
  meter.lastReport = meter.now();
}

}  // namespace audiotap::realtime
