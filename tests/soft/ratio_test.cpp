#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/soft/resampler.h"

namespace audiotap::soft {
namespace {

TEST(RateRatio, LowestTermsOrNearestFraction) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double in, out;
    std::optional<Ratio> expected;
  } cases[] = {
      {48000, 16000, Ratio{3, 1}},
      {44100, 16000, Ratio{441, 160}},
      {16000, 48000, Ratio{1, 3}},
      {48000, 44100, Ratio{160, 147}},
      {44100.5, 16000, Ratio{88201, 32000}},
      {7, 7, Ratio{1, 1}},
      {256000, 1000, Ratio{256, 1}},
      {256001, 1000, std::nullopt},
      {0, 16000, std::nullopt},
      {48000, -16000, std::nullopt},
      {nan, 16000, std::nullopt},
      {48000, std::numeric_limits<double>::infinity(), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(rateRatio(c.in, c.out), c.expected) << c.in << " -> " << c.out;

  // Rates whose exact terms do not fit: terms up to 2^22 leave at most about
  // one part in four million.
  const std::pair<double, double> inexact[] = {
      {48000 * std::sqrt(2.0), 16000.3}, {44100 * M_PI, 7919.5}, {3e9 + 7, 1e9 + 3}};
  for (const auto& [in, out] : inexact) {
    const auto r = rateRatio(in, out);
    ASSERT_TRUE(r) << in;
    EXPECT_LE(std::max(r->in, r->out), 1u << 22);
    EXPECT_NEAR(double(r->in) / r->out, in / out, in / out * 3e-7) << in;
  }
}

}  // namespace
}  // namespace audiotap::soft
