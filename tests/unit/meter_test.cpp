#include <gtest/gtest.h>

#include "events/channel.h"
#include "fakes.h"
#include "realtime/meter.h"

namespace audiotap::realtime {
namespace {

TEST(BufferPeak, ScalesByOneOver32768) {
  const struct {
    std::vector<std::int16_t> samples;
    float peak;
  } cases[] = {
      {{}, 0.0f},         {{0, 0, 0}, 0.0f},         {{-32768}, 1.0f},       {{32767}, 0.999969482421875f},
      {{16384}, 0.5f},    {{-1, 1, -16384, 8}, 0.5f}, {{5, -32768, 32767}, 1.0f},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bufferPeak(c.samples.data(), std::uint32_t(c.samples.size())), c.peak);
  }
}

Meter::Clock::time_point fakeNow;
Meter::Clock::time_point readFakeNow() { return fakeNow; }

class MeterTest : public ::testing::Test {
 protected:
  void SetUp() override { events::setStandardError(&events); }
  void TearDown() override { events::setStandardError(nullptr); }
  void advance(double seconds) {
    fakeNow += std::chrono::duration_cast<Meter::Clock::duration>(std::chrono::duration<double>(seconds));
  }
  void write(Meter& meter, std::vector<std::int16_t> samples) {
    meterUpdate(meter, samples.data(), std::uint32_t(samples.size()));
    reportIfDue(meter);
  }
  testing::RecordingHandle events;
};

TEST_F(MeterTest, PeakCoversExactlyTheBuffersSinceTheLastReport) {
  Meter meter(readFakeNow);
  write(meter, {8192});   // 0.25
  write(meter, {16384});  // 0.5
  advance(0.5);
  write(meter, {4096});  // 0.125
  EXPECT_TRUE(events.writes.empty());
  advance(0.5);
  write(meter, {0, 0});
  advance(1.0);
  write(meter, {4096});
  const auto lines = events.events();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["peak"].get<float>(), 0.5f);
  EXPECT_EQ(lines[0]["frames"], 5);
  EXPECT_EQ(lines[1]["peak"].get<float>(), 0.125f);
  EXPECT_EQ(lines[1]["frames"], 6);
}

TEST_F(MeterTest, NoCatchUpAfterSilence) {
  Meter meter(readFakeNow);
  advance(3.0);
  write(meter, std::vector<std::int16_t>(16000, -32768));
  advance(0.2);
  write(meter, {1});
  const auto lines = events.events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["peak"].get<float>(), 1.0f);
  EXPECT_EQ(lines[0]["frames"], 16000);
}

// With two channels "peak" stays the loudest of both and "peaks" gives each;
// "frames" counts frames, not samples.
TEST_F(MeterTest, PeaksOfEachChannel) {
  const struct {
    std::uint32_t channels;
    std::vector<std::int16_t> samples;
    float peak;
    std::vector<float> peaks;
    std::int64_t frames;
  } cases[] = {
      {1, {8192, -16384, 4096, 0}, 0.5f, {}, 4},
      {2, {8192, -16384, 4096, 0}, 0.5f, {0.25f, 0.5f}, 2},
      {2, {-32768, 1, 16384, -2}, 1.0f, {1.0f, 2.0f / 32768}, 2},
      {2, {0, 0, 0, 0, 0, 0}, 0.0f, {0.0f, 0.0f}, 3},
  };
  for (const auto& c : cases) {
    events.writes.clear();
    Meter meter(readFakeNow, c.channels);
    advance(1.0);
    write(meter, c.samples);
    const auto lines = events.events();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["peak"].get<float>(), c.peak);
    EXPECT_EQ(lines[0]["frames"], c.frames);
    if (c.peaks.empty()) {
      EXPECT_FALSE(lines[0].contains("peaks"));
    } else {
      EXPECT_EQ(lines[0]["peaks"].get<std::vector<float>>(), c.peaks);
    }
    // Each report starts the peaks anew.
    advance(1.0);
    write(meter, std::vector<std::int16_t>(c.channels, 1));
    EXPECT_EQ(events.events()[1]["peak"].get<float>(), 1.0f / 32768);
  }
}

}  // namespace
}  // namespace audiotap::realtime
