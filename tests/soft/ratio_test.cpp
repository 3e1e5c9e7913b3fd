#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/soft/resampler.h"

namespace audiotap::soft {
namespace {

TEST(RateRatio, LowestTermsOrNearestFraction) {
  struct Case {
    double in;
    double out;
    std::optional<Ratio> expected;
  };
  const Case cases[] = {
      {48000, 16000, Ratio{3, 1}},
      {44100, 16000, Ratio{441, 160}},
      {16000, 48000, Ratio{1, 3}},
      {48000, 44100, Ratio{160, 147}},
      {44100.5, 16000, Ratio{88201, 32000}},
      {11025.25, 8000, Ratio{44101, 32000}},
      {7, 7, Ratio{1, 1}},
      {256000, 1000, Ratio{256, 1}},
      {256001, 1000, std::nullopt},
      {1000, 256001, std::nullopt},
      {0, 16000, std::nullopt},
      {48000, -16000, std::nullopt},
      {std::numeric_limits<double>::quiet_NaN(), 16000, std::nullopt},
      {48000, std::numeric_limits<double>::infinity(), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rateRatio(c.in, c.out), c.expected) << c.in << " -> " << c.out;
  }
}

TEST(RateRatio, IrrationalRatiosAreCloseWithBoundedTerms) {
  for (const double in : {48000 * std::sqrt(2.0), 44100 * M_PI, 1e9 + 1, 3e9 + 7}) {
    for (const double out : {16000.0, 7919.5, 1e9}) {
      const auto r = rateRatio(in, out);
      if (in / out > 256 || out / in > 256) {
        EXPECT_FALSE(r) << in << " -> " << out;
        continue;
      }
      ASSERT_TRUE(r) << in << " -> " << out;
      EXPECT_LE(r->in, 1u << 22);
      EXPECT_LE(r->out, 1u << 22);
      // Terms up to 2^22 leave at most about one part in four million.
      EXPECT_NEAR(double(r->in) / r->out, in / out, in / out * 3e-7) << in << " -> " << out;
    }
  }
}

}  // namespace
}  // namespace audiotap::soft
