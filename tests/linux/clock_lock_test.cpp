// The microphone locked to the sink's clock, simulated: a microphone whose
// card runs some ppm off the sink's, packets of its own size, drawn from on
// the sink's packets for a simulated hour. The FIFO's fill is the lag behind
// the sink; it must stay near its target, with no stall but the one made.
#include "platform/linux/clock_lock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <vector>

namespace audiotap::platform::linux {
namespace {

constexpr std::uint32_t kRate = 8000;
constexpr std::uint32_t kTarget = kRate * 30 / 1000;
constexpr std::uint32_t kCapacity = kRate * 2;
constexpr std::size_t kMicPacket = kRate / 100;  // 10 ms
constexpr std::size_t kSinkPacket = kRate / 50;  // 20 ms

struct Case {
  const char* name;
  double ppm;  // how much faster the microphone's clock runs
  // The microphone delivers nothing from `stallAt` (s) for `stallSeconds`;
  // `backlog`: then all it held at once, otherwise that audio is lost.
  // `sink`: the sink stalls instead, and the audio it skipped comes (as
  // silence) a second later, as the server's timing update tells of it.
  double stallAt, stallSeconds;
  bool backlog;
  bool sink;
  double settle;  // s after the stall not measured
  std::uint64_t stalls;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ClockLockTest : public ::testing::TestWithParam<Case> {};

TEST_P(ClockLockTest, HoldsTheLagForAnHour) {
  const Case& c = GetParam();
  ClockLock lock(kRate, kTarget, kCapacity);
  const double micRate = kRate * (1 + c.ppm * 1e-6);
  std::vector<float> mic(kCapacity * 4, 0.25f), out(kSinkPacket);
  double micAt = 0, sinkAt = 0.003;  // the next packet of each, s
  std::size_t held = 0;              // frames the stalled microphone holds back
  std::size_t owed = 0;              // frames the stalled sink skipped
  long worst = 0;                    // frames
  double lastPull = 0;
  while (sinkAt < 3600) {
    if (micAt <= sinkAt) {
      const bool stalled = !c.sink && micAt >= c.stallAt && micAt < c.stallAt + c.stallSeconds;
      if (stalled) {
        held += kMicPacket;
      } else {
        if (c.backlog && held > 0) lock.push(mic.data(), std::min(held, mic.size()), 1);
        held = 0;
        lock.push(mic.data(), kMicPacket, 1);
      }
      micAt += kMicPacket / micRate;
    } else if (c.sink && sinkAt >= c.stallAt && sinkAt < c.stallAt + c.stallSeconds) {
      owed += kSinkPacket;
      sinkAt += double(kSinkPacket) / kRate;
    } else {
      if (sinkAt >= c.stallAt + c.stallSeconds + 1) {
        for (; owed > 0; owed -= kSinkPacket) lock.pull(out.data(), kSinkPacket);
      }
      lock.pull(out.data(), kSinkPacket);
      // The lag, away from the stall and the first settling.
      const bool nearStall = sinkAt > c.stallAt - 1 && sinkAt < c.stallAt + c.stallSeconds + c.settle;
      if (sinkAt > 1 && !nearStall) worst = std::max(worst, std::labs(long(lock.fill()) - long(kTarget)));
      lastPull = sinkAt;
      sinkAt += double(kSinkPacket) / kRate;
    }
  }
  ASSERT_GT(lastPull, 3599);
  EXPECT_EQ(lock.stalls(), c.stalls);
  // A packet of either side: where one side's packets fall between the
  // other's drifts slowly with the clocks, and the fill with it.
  EXPECT_LE(worst, long(kSinkPacket + kMicPacket)) << "correction " << lock.correctionPpm() << " ppm";
}

INSTANTIATE_TEST_SUITE_P(Drift, ClockLockTest,
                         ::testing::Values(Case{"Same", 0, -100, 0, false, false, 0, 0},
                                           Case{"Fast100", 100, -100, 0, false, false, 0, 0},
                                           Case{"Slow100", -100, -100, 0, false, false, 0, 0},
                                           Case{"Fast1000", 1000, -100, 0, false, false, 0, 0},
                                           Case{"Slow1000", -1000, -100, 0, false, false, 0, 0},
                                           // The lost stretch's length of what comes next is cut.
                                           Case{"StallLost", 100, 600, 0.3, false, false, 1, 1},
                                           Case{"StallLate", -100, 600, 0.5, true, false, 1, 1},
                                           Case{"StallLongerThanTheFifo", -100, 600, 2.5, true, false, 30, 2},
                                           Case{"SinkCatchesUp", 100, 600, 1.5, false, true, 2, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace audiotap::platform::linux
