// Delays and wait limits as the signed nanosecond delta that dispatch_time
// takes. Plain C++, so it is tested on every platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace audiotap::platform::macos {

// dispatch_time adds the delta to the uptime clock; beyond about 146 years the
// sum could wrap and land in the past, so such a moment counts as never.
inline constexpr std::chrono::nanoseconds kLongestDispatchDelay{std::numeric_limits<std::int64_t>::max() / 2};

// The delta for dispatch_time(DISPATCH_TIME_NOW, delta): 0 for a delay that
// is not positive, nothing for one too far out to be represented.
template <class Rep, class Period>
constexpr std::optional<std::int64_t> dispatchDelta(std::chrono::duration<Rep, Period> delay) {
  if (delay <= delay.zero()) return 0;
  // Compared in the caller's unit: converting a huge delay to nanoseconds
  // first would overflow.
  if (delay > std::chrono::duration_cast<std::chrono::duration<Rep, Period>>(kLongestDispatchDelay)) {
    return std::nullopt;
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
}

}  // namespace audiotap::platform::macos
