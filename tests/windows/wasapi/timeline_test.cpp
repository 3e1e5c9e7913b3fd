#include "platform/windows/wasapi/timeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace audiotap::platform::windows {
namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::int64_t kStart = 10'000'000'000;  // any QPC time, in ticks
constexpr std::int64_t ms(double milliseconds) { return std::int64_t(milliseconds * 10'000); }

// A packet arrives (`packet`) or the task wakes without one (idle); the plan
// or the idle silence it should give.
struct Step {
  bool idle;
  std::int64_t now;  // after kStart
  Timeline::Packet packet;
  std::uint64_t silence = 0;
  std::uint32_t skip = 0;
  std::uint64_t lost = 0;
};

Step packet(std::int64_t now, std::uint64_t position, std::uint32_t frames, std::int64_t time,
            std::uint64_t silence = 0, std::uint32_t skip = 0, std::uint64_t lost = 0,
            bool discontinuity = false) {
  return {false, now, {position, frames, time == 0 ? 0 : kStart + time, discontinuity}, silence, skip, lost};
}
Step idle(std::int64_t now, std::uint64_t silence) { return {true, now, {}, silence}; }

struct Case {
  std::string name;
  std::vector<Step> steps;
  std::uint64_t frames;  // delivered in all
  std::uint64_t unreported = 0;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class TimelineTest : public ::testing::TestWithParam<Case> {};

TEST_P(TimelineTest, KeepsTheFramesOnTheClock) {
  const Case& c = GetParam();
  Timeline timeline(kRate, ms(50), ms(20));
  timeline.start(kStart);
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& step = c.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    if (step.idle) {
      EXPECT_EQ(timeline.idle(kStart + step.now), step.silence);
      continue;
    }
    const Timeline::Plan plan = timeline.packet(step.packet, kStart + step.now);
    EXPECT_EQ(plan.silence, step.silence);
    EXPECT_EQ(plan.skip, step.skip);
    EXPECT_EQ(plan.lost, step.lost);
  }
  EXPECT_EQ(timeline.frames(), c.frames);
  EXPECT_EQ(timeline.takeLost(), c.unreported);
}

// 480 frames are 10 ms at 48 kHz; a packet arrives 10 ms after its first frame.
INSTANTIATE_TEST_SUITE_P(
    Cases, TimelineTest,
    ::testing::Values(
        Case{"ContiguousPacketsAddNothing",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(20), 480, 480, ms(10)),
              packet(ms(30), 960, 480, ms(20))},
             1440},
        Case{"FirstPacketAfterTheStartHasTheWaitBeforeIt", {packet(ms(15), 0, 480, ms(5), 240)}, 720},
        Case{"FirstPacketFromBeforeTheStartLosesItsHead", {packet(ms(8), 100, 480, ms(-2), 0, 96)}, 384},
        Case{"AHoleInThePositionIsSilenceReportedOnceAudioFlows",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(30), 960, 480, ms(20), 480, 0, 0),
              packet(ms(40), 1440, 480, ms(30), 0, 0, 480)},
             1920},
        Case{"HolesInARowAreOneEpisode",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(30), 960, 480, ms(20), 480),
              packet(ms(50), 1920, 480, ms(40), 480), packet(ms(60), 2400, 480, ms(50), 0, 0, 960)},
             2880},
        Case{"ADiscontinuityIsSilenceOfTheTimeItTook",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(30), 480, 480, ms(20), 480, 0, 0, true),
              packet(ms(40), 960, 480, ms(30), 0, 0, 480)},
             1920},
        Case{"StampsAloneMakeNoHole",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(50), 480, 480, ms(40)),
              packet(ms(50), 960, 480, ms(40))},
             1440},
        Case{"ALossStillOpenAtTheEndIsLeftToTake",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(30), 960, 480, ms(20), 480)},
             1440,
             480},
        Case{"QuietIsSilenceByTheClockBehindByTheLag",
             {packet(ms(10), 0, 480, ms(0)), idle(ms(50), 0), idle(ms(60), 1440), idle(ms(70), 480),
              idle(ms(70), 0)},
             2400},
        Case{"APacketAfterTheQuietOverlappingTheSilenceLosesItsHead",
             // Silence up to 40 ms; the packet stamped 30 ms covers 30..50 ms.
             {packet(ms(10), 0, 480, ms(0)), idle(ms(60), 1440), packet(ms(62), 5000, 960, ms(30), 0, 480)},
             2400},
        Case{"APacketAfterTheQuietLaterThanTheSilenceHasTheRestBeforeIt",
             {packet(ms(10), 0, 480, ms(0)), idle(ms(60), 1440), packet(ms(70), 5000, 480, ms(60), 960),
              packet(ms(80), 5480, 480, ms(70))},
             3840},
        Case{"AWrongStampIsTakenAsJustArrived",
             {packet(ms(10), 0, 480, ms(0)), packet(ms(20), 480, 480, ms(-5000)),
              packet(ms(30), 960, 480, ms(20))},
             1440},
        Case{"AMissingStampIsTakenAsJustArrived",
             {packet(ms(10), 0, 480, 0), packet(ms(20), 480, 480, 0)},
             960}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// Four seconds: one of sound, two of nothing, one of sound. The frames stand
// for the whole time, give or take the lag.
TEST(Timeline, FramesDividedByTheRateAreTheTimeCaptured) {
  Timeline timeline(kRate, ms(50), ms(20));
  timeline.start(kStart);
  std::uint64_t position = 0;
  std::int64_t t = 0;
  for (; t < ms(1000); t += ms(10), position += 480)
    timeline.packet({position, 480, kStart + t, false}, kStart + t + ms(10));
  for (; t < ms(3000); t += ms(10)) timeline.idle(kStart + t + ms(10));
  position += 777;  // the device position need not have moved with the clock
  for (; t < ms(4000); t += ms(10), position += 480)
    timeline.packet({position, 480, kStart + t, false}, kStart + t + ms(10));
  EXPECT_EQ(timeline.frames(), 4u * kRate);
  EXPECT_EQ(timeline.takeLost(), 0u);
}

}  // namespace
}  // namespace audiotap::platform::windows
