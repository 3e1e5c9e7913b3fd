#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "driver/command_line.h"

namespace audiotap::driver {
namespace {

struct ScanCase {
  std::vector<std::string> arguments;
  double seconds;
  double rate;
  bool microphone = false;
  bool echoCancel = true;
};

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, SetsSecondsAndRate) {
  const ScanCase& c = GetParam();
  std::vector<const char*> argv{"audiotap"};
  for (const auto& a : c.arguments) argv.push_back(a.c_str());
  Options options;
  scanCommandLine(int(argv.size()), argv.data(), options);
  const double seconds = options.seconds, rate = options.targetRate;
  if (std::isnan(c.seconds)) {
    EXPECT_TRUE(std::isnan(seconds));
  } else {
    EXPECT_EQ(seconds, c.seconds);
  }
  EXPECT_EQ(rate, c.rate);
  EXPECT_EQ(options.microphone, c.microphone);
  EXPECT_EQ(options.echoCancel, c.echoCancel);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ScanTest,
    ::testing::Values(ScanCase{{}, 0, 16000}, ScanCase{{"--rate", "8000", "--rate", "abc"}, 0, 16000},
                      ScanCase{{"--rate", "abc", "--rate", "8000"}, 0, 8000},
                      ScanCase{{"--seconds", "--rate", "8000"}, 0, 16000},
                      ScanCase{{"--seconds=5", "-seconds", "5", "--RATE", "8000"}, 0, 16000},
                      ScanCase{{"--seconds", "2.5", "--rate", "44100"}, 2.5, 44100},
                      ScanCase{{"extra", "--seconds", "1e1", "junk", "--rate", "0x10"}, 10, 16},
                      ScanCase{{"--seconds", " 2"}, 0, 16000}, ScanCase{{"--seconds", "2 "}, 0, 16000},
                      ScanCase{{"--seconds", ""}, 0, 16000}, ScanCase{{"--seconds", "-3"}, -3, 16000},
                      ScanCase{{"--seconds", "NaN"}, NAN, 16000}, ScanCase{{"--seconds", "-Infinity"}, -INFINITY, 16000},
                      ScanCase{{"--rate", "2,5"}, 0, 16000}, ScanCase{{"--rate", "+8000"}, 0, 8000},
                      // An option standing last with no value takes the fallback.
                      ScanCase{{"--seconds", "3", "--seconds"}, 0, 16000},
                      ScanCase{{"--rate", "8000", "--rate"}, 0, 16000},
                      // A value is never read as an option, even with dashes.
                      ScanCase{{"--rate", "--seconds", "5"}, 0, 16000},
                      ScanCase{{"--mic"}, 0, 16000, true, true},
                      ScanCase{{"--no-echo-cancel", "--rate", "8000", "--mic"}, 0, 8000, true, false},
                      // Alone it is kept, and means nothing without --mic.
                      ScanCase{{"--no-echo-cancel"}, 0, 16000, false, false},
                      ScanCase{{"--rate", "--mic", "--seconds", "--no-echo-cancel"}, 0, 16000},
                      ScanCase{{"--MIC", "-mic", "--mic=1", "--echo-cancel"}, 0, 16000}));

TEST(ScanTest, FollowOutputAndPidOptions) {
  const char* argv[] = {"audiotap", "--include-pid", "12", "--follow-output", "--exclude-pid", "--rate",
                        "--include-pid", "x", "--exclude-pid"};
  Options options;
  scanCommandLine(9, argv, options);
  EXPECT_TRUE(options.followOutput);
  EXPECT_EQ(options.includePids, (std::vector<std::string>{"12", "x"}));
  EXPECT_EQ(options.excludePids, (std::vector<std::string>{"--rate", ""}));
  EXPECT_EQ(options.targetRate, 16000);
}

}  // namespace
}  // namespace audiotap::driver
