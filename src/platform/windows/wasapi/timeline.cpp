#include "platform/windows/wasapi/timeline.h"

#include <algorithm>

namespace audiotap::platform::windows {
namespace {

// Packet stamps jitter by a little; a hole is more than this.
constexpr std::int64_t kToleranceTicks = 30'000;  // 3 ms
// A stamp further than this from the time it arrived is taken as wrong.
constexpr std::int64_t kTrustTicks = Timeline::kTicksPerSecond;

}  // namespace

Timeline::Timeline(std::uint32_t rate, std::int64_t quietTicks, std::int64_t lagTicks)
    : rate_(rate), quiet_(quietTicks), lag_(lagTicks) {}

void Timeline::start(std::int64_t now) {
  frames_ = 0;
  end_ = now;
  lastArrival_ = now;
  flowing_ = false;
  filling_ = false;
  lost_ = 0;
}

std::int64_t Timeline::ticks(std::uint64_t frames) const {
  return std::int64_t(frames / rate_) * kTicksPerSecond +
         std::int64_t(frames % rate_) * kTicksPerSecond / rate_;
}

std::int64_t Timeline::framesIn(std::int64_t ticks) const {
  const std::int64_t magnitude = ticks < 0 ? -ticks : ticks;
  const std::int64_t frames = (magnitude / kTicksPerSecond) * rate_ +
                              ((magnitude % kTicksPerSecond) * rate_ + kTicksPerSecond / 2) / kTicksPerSecond;
  return ticks < 0 ? -frames : frames;
}

Timeline::Plan Timeline::packet(const Packet& packet, std::int64_t now) {
  std::int64_t time = packet.time;
  if (time == 0 || time > now + kTrustTicks || time < now - kTrustTicks) time = now - ticks(packet.frames);
  Plan plan;
  const std::int64_t late = framesIn(time - end_);
  if (!flowing_) {
    // Placed by its time: after silence by the clock, a head that silence
    // already stood for is left out rather than counted twice.
    if (late > 0) plan.silence = std::uint64_t(late);
    if (late < 0) plan.skip = std::uint32_t(std::min<std::int64_t>(-late, packet.frames));
  } else {
    // The position alone says whether audio is missing: wine stamps a packet
    // when it is read, not when it played, so stamps of packets read in a
    // burst are no measure. A discontinuity the engine declares is measured
    // by the stamps too, for a position that did not move.
    std::int64_t hole = std::max<std::int64_t>(std::int64_t(packet.position - nextPosition_), 0);
    if (packet.discontinuity && time - end_ > kToleranceTicks) hole = std::max(hole, late);
    plan.silence = std::uint64_t(hole);
    if (hole > 0) {
      lost_ += std::uint64_t(hole);
    } else if (lost_ > 0) {
      plan.lost = takeLost();
    }
  }
  const std::uint32_t kept = packet.frames - plan.skip;
  frames_ += plan.silence + kept;
  end_ = plan.skip > 0 ? end_ + ticks(kept) : time + ticks(packet.frames);
  nextPosition_ = packet.position + packet.frames;
  lastArrival_ = now;
  flowing_ = true;
  filling_ = false;
  return plan;
}

std::uint64_t Timeline::idle(std::int64_t now) {
  if (!filling_) {
    if (now - lastArrival_ < quiet_) return 0;
    filling_ = true;
    flowing_ = false;
    fillStart_ = end_;
    filled_ = 0;
  }
  const std::int64_t due = framesIn(now - lag_ - fillStart_);
  if (due <= std::int64_t(filled_)) return 0;
  const std::uint64_t more = std::uint64_t(due) - filled_;
  filled_ += more;
  frames_ += more;
  end_ = fillStart_ + ticks(filled_);
  return more;
}

std::uint64_t Timeline::takeLost() {
  const std::uint64_t lost = lost_;
  lost_ = 0;
  return lost;
}

}  // namespace audiotap::platform::windows
