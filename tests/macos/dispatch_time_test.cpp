#include "platform/macos/dispatch_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace audiotap::platform::macos {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::int64_t kLongest = kLongestDispatchDelay.count(), kLongestMs = kLongest / 1'000'000;

// A negative or wrapped delta would fire at once: a time limit that ends the
// capture early, or a drain that gives up without waiting. Milliseconds are
// compared in their own unit: ms::max in nanoseconds overflows a millionfold.
TEST(DispatchDelta, ClampsToZeroScalesAndRefusesWhatWouldWrap) {
  const struct {
    const char* name;
    std::optional<std::int64_t> actual, expected;
  } cases[] = {
      {"negative", dispatchDelta(nanoseconds(-7)), 0},
      {"most negative milliseconds", dispatchDelta(milliseconds::min()), 0},
      {"one nanosecond", dispatchDelta(nanoseconds(1)), 1},
      {"milliseconds scaled", dispatchDelta(milliseconds(1500)), 1'500'000'000},
      {"longest", dispatchDelta(nanoseconds(kLongest)), kLongest},
      {"past the longest", dispatchDelta(nanoseconds(kLongest + 1)), std::nullopt},
      {"longest whole milliseconds", dispatchDelta(milliseconds(kLongestMs)), kLongestMs * 1'000'000},
      {"past the longest milliseconds", dispatchDelta(milliseconds(kLongestMs + 1)), std::nullopt},
      {"most milliseconds", dispatchDelta(milliseconds::max()), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected) << c.name;
}

}  // namespace
}  // namespace audiotap::platform::macos
