#include "platform/macos/dispatch_time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace audiotap::platform::macos {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::int64_t kLongest = kLongestDispatchDelay.count();

struct Case {
  const char* name;
  std::optional<std::int64_t> actual;
  std::optional<std::int64_t> expected;
};

class DispatchDeltaTest : public testing::TestWithParam<Case> {};

TEST_P(DispatchDeltaTest, MatchesTheDelta) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

// A negative or wrapped delta would fire at once: a time limit that ends the
// capture early, or a drain that gives up without waiting.
INSTANTIATE_TEST_SUITE_P(
    Delays, DispatchDeltaTest,
    testing::Values(Case{"Zero", dispatchDelta(nanoseconds(0)), 0},
                    Case{"NegativeRunsAtOnce", dispatchDelta(nanoseconds(-7)), 0},
                    Case{"MostNegativeMilliseconds", dispatchDelta(milliseconds::min()), 0},
                    Case{"OneNanosecond", dispatchDelta(nanoseconds(1)), 1},
                    Case{"TwoAndAHalfSeconds", dispatchDelta(nanoseconds(2'500'000'000)), 2'500'000'000},
                    Case{"MillisecondsScaled", dispatchDelta(milliseconds(1500)), 1'500'000'000},
                    Case{"LongestNanoseconds", dispatchDelta(nanoseconds(kLongest)), kLongest},
                    Case{"PastLongestNanoseconds", dispatchDelta(nanoseconds(kLongest + 1)), std::nullopt},
                    Case{"MostNanoseconds", dispatchDelta(nanoseconds::max()), std::nullopt},
                    Case{"LongestWholeMilliseconds", dispatchDelta(milliseconds(kLongest / 1'000'000)),
                         kLongest / 1'000'000 * 1'000'000},
                    Case{"PastLongestMilliseconds", dispatchDelta(milliseconds(kLongest / 1'000'000 + 1)),
                         std::nullopt},
                    // ms::max in nanoseconds overflows int64 a millionfold.
                    Case{"MostMilliseconds", dispatchDelta(milliseconds::max()), std::nullopt},
                    Case{"HoursFitting", dispatchDelta(std::chrono::hours(24)), 86'400'000'000'000}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace audiotap::platform::macos
