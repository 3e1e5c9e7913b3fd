// The product binary against a real sound server, run as a host runs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "audiotap_process.h"
#include "pulse_support.h"

namespace audiotap::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr auto kLimit = 15s;

// Every line is an event; the run ends with exactly one "stopped" whose
// frames match the bytes on standard output.
void expectOrderlyEnd(AudiotapProcess& run) {
  const std::vector<json> events = run.events();
  ASSERT_FALSE(events.empty());
  for (const json& event : events) ASSERT_TRUE(event.is_object() && event.contains("type")) << event;
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const json& e) { return e["type"] == "stopped"; }),
            1);
  const json& last = events.back();
  ASSERT_EQ(last["type"], "stopped");
  EXPECT_EQ(last["frames"].get<std::int64_t>() * 2, std::int64_t(run.output().size()));
}

class AudiotapE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = givenServer();
    if (!server_) GTEST_SKIP() << kNoServerReason;
  }
  std::optional<PrivateServer> server_;
};

TEST_F(AudiotapE2eTest, CapturesThePlayedToneAtEachRate) {
  for (const double rate : {16000.0, 8000.0, 44100.0}) {
    SCOPED_TRACE(::testing::Message() << "--rate " << rate);
    AudiotapProcess run({"--rate", std::to_string(int(rate))});
    const auto ready = run.waitForEvent("ready", kLimit);
    ASSERT_TRUE(ready);
    EXPECT_EQ((*ready)["tapFormat"]["sampleRate"], 48000.0);
    EXPECT_EQ((*ready)["tapFormat"]["channels"], 1);
    EXPECT_EQ((*ready)["outputDeviceUID"], server_->sink);
    EXPECT_EQ((*ready)["outputFormat"], (json{{"sampleRate", rate}, {"channels", 1.0}, {"bits", 16.0}}));
    ASSERT_TRUE(play(server_->sink, {{1.0, 997, 0.5, 0.5}}));
    run.closeStdin();
    ASSERT_EQ(run.finish(kLimit), 0);
    expectOrderlyEnd(run);
    const Tone tone = measureTone(fromS16(run.output()), rate);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, 0.5, 0.03);
    EXPECT_GT(double(tone.samples), 0.8 * rate);
  }
}

TEST_F(AudiotapE2eTest, LevelPeaksFollowThePlayedAmplitude) {
  AudiotapProcess run({});
  ASSERT_TRUE(run.waitForEvent("ready", kLimit));
  const double amplitudes[] = {0.1, 0.4, 0.8};
  std::vector<Segment> segments;
  for (double a : amplitudes) segments.push_back({2.2, 440, a, a});
  ASSERT_TRUE(play(server_->sink, segments));
  run.closeStdin();
  ASSERT_EQ(run.finish(kLimit), 0);
  expectOrderlyEnd(run);

  const std::vector<double> pcm = fromS16(run.output());
  std::vector<double> peaks;
  std::int64_t previous = 0;
  for (const json& event : run.events()) {
    if (event["type"] != "level") continue;
    const std::int64_t frames = event["frames"];
    ASSERT_LE(frames, std::int64_t(pcm.size()));
    double loudest = 0;
    for (std::int64_t i = previous; i < frames; ++i) loudest = std::max(loudest, std::abs(pcm[i]));
    EXPECT_NEAR(event["peak"].get<double>(), loudest, 1e-6) << "frames " << previous << " to " << frames;
    peaks.push_back(event["peak"].get<double>());
    previous = frames;
  }
  // Each segment holds at least one whole one-second window.
  auto at = peaks.begin();
  for (double a : amplitudes) {
    at = std::find_if(at, peaks.end(), [a](double p) { return std::abs(p - a) < 0.03; });
    EXPECT_NE(at, peaks.end()) << "no level near " << a;
  }
}

TEST_F(AudiotapE2eTest, EveryStopPathEndsInOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int signo;  // 0: close standard input; -1: the time limit
  } cases[] = {
      {"end of input", {}, 0},
      {"SIGINT", {}, SIGINT},
      {"SIGTERM", {}, SIGTERM},
      {"SIGHUP", {}, SIGHUP},
      {"--seconds", {"--seconds", "2"}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = sourceOutputs();
    AudiotapProcess run(c.args);
    ASSERT_TRUE(run.waitForEvent("ready", kLimit));
    ASSERT_TRUE(run.waitForBytes(3200, kLimit));
    if (c.signo > 0) run.signal(c.signo);
    if (c.signo == 0) run.closeStdin();
    ASSERT_EQ(run.finish(kLimit), 0);
    expectOrderlyEnd(run);
    for (const json& event : run.events()) EXPECT_NE(event["type"], "error") << event;
    EXPECT_EQ(settledSourceOutputs(before), before) << "the capture stream outlived the process";
  }
}

TEST_F(AudiotapE2eTest, RefusedRatesEndBeforeCapture) {
  for (const char* rate : {"0", "-16000"}) {
    SCOPED_TRACE(rate);
    AudiotapProcess run({"--rate", rate});
    ASSERT_EQ(run.finish(kLimit), 1);
    EXPECT_EQ(run.output(), "");
    const auto events = run.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0],
              (json{{"type", "error"},
                    {"message", "could not build a converter from the tap format to 16 kHz mono PCM16"}}));
  }
}

TEST_F(AudiotapE2eTest, LossDuringCaptureIsReportedThenStopsInOrder) {
  struct Case {
    const char* name;
    bool killServer;  // else the tapped sink goes away
    const char* message;
  } cases[] = {
      {"server stopped", true, "lost the connection to the sound server"},
      {"sink unloaded", false, "the sound server ended the capture stream"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char dir[] = "/tmp/audiotap-lost-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const auto env = startServer(dir);
    ASSERT_FALSE(env.empty());
    AudiotapProcess run({}, env);
    ASSERT_TRUE(run.waitForEvent("ready", kLimit));
    ASSERT_TRUE(run.waitForBytes(3200, kLimit));
    if (c.killServer) {
      stopServer(dir);
    } else {
      ScopedEnv scoped(env);
      EXPECT_EQ(std::system("pactl unload-module module-null-sink"), 0);
    }
    const int status = run.finish(kLimit);
    removeServer(dir);
    ASSERT_EQ(status, 1);
    expectOrderlyEnd(run);
    const auto error = run.waitForEvent("error", 0ms);
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)["message"].get<std::string>().rfind(c.message, 0), 0u) << *error;
    const auto events = run.events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const json& e) { return e["type"] == "error"; }),
              1);
  }
}

// Needs no server at all, so it runs everywhere.
TEST(AudiotapNoServerTest, ReportsNoDefaultOutputDevice) {
  AudiotapProcess run({}, {{"PULSE_SERVER", "unix:/nonexistent/audiotap/native"}});
  ASSERT_EQ(run.finish(kLimit), 1);
  EXPECT_EQ(run.output(), "");
  const auto events = run.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (json{{"type", "error"}, {"message", "no default output device"}}));
}

}  // namespace
}  // namespace audiotap::testing
