#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "capture/formats.h"

namespace audiotap::capture {
namespace {

TEST(ConvertibleRates, RefusesWhatCannotBeConvertedSoundly) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double tap, target;
    bool ok;
  } cases[] = {
      {48000, 16000, true},     {44100, 8000, true},      {48000, 44100.5, true}, {8000, 192000, true},
      {48000, 0, false},        {48000, -16000, false},   {48000, std::nan(""), false},
      {48000, inf, false},      {0, 16000, false},        {std::nan(""), 16000, false},
      {1, 65536, true},         {1, 65537, false},        {48000, 1e300, false},
  };
  for (const auto& c : cases) EXPECT_EQ(convertibleRates(c.tap, c.target), c.ok) << c.tap << " " << c.target;
}

}  // namespace
}  // namespace audiotap::capture
