// The product binary against a real sound server, run as a host runs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <span>
#include <utility>

#include "pulse_support.h"

namespace audiotap::test {
namespace {

using nlohmann::json;
using Env = std::map<std::string, std::string>;

Launch audiotap(std::vector<std::string> args, Env env = {}) {
  return {AUDIOTAP_BINARY, std::move(args), env};
}

class E2eTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!server_) GTEST_SKIP() << kNoServerReason;
  }
  const std::optional<PrivateServer> server_ = givenServer();
};

TEST_F(E2eTest, CapturesThePlayedToneInMonoUntilEachStop) {
  const struct {
    double rate, left, right, mono;
    int stop;  // a signal; 0: end of input; -1: --seconds
  } cases[] = {{16000, 0.5, 0.5, 0.5, SIGINT},
               {8000, 0.6, 0, 0.3, SIGTERM},
               {44100, 1.0, 1.0, 1.0, SIGHUP},  // the mean of full-scale channels is full scale
               {16000, 0.2, 0.6, 0.4, 0},
               {22050, 0.5, 0.5, 0.5, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "--rate " << c.rate << ", stop " << c.stop);
    const int before = sourceOutputs();
    std::vector<std::string> args = {"--rate", std::to_string(int(c.rate))};
    if (c.stop < 0) args.insert(args.end(), {"--seconds", "2.5"});
    Child run(audiotap(args));
    ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
    EXPECT_EQ(run.events()[0].json,
              json({{"type", "ready"},
                    {"tapFormat", {{"sampleRate", 48000.0}, {"channels", 1}}},
                    {"outputFormat", {{"sampleRate", c.rate}, {"channels", 1.0}, {"bits", 16.0}}},
                    {"outputDeviceUID", server_->sink},
                    {"version", AUDIOTAP_VERSION}}));
    ASSERT_TRUE(play(server_->sink, {{1.0, 997, c.left, c.right}}, &run));
    if (c.stop > 0) run.signal(c.stop);
    if (c.stop == 0) run.closeStdin();
    ASSERT_EQ(run.finish(), 0);
    expectOrderlyEnd(run);
    EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
    EXPECT_EQ(sourceOutputs(before), before) << "the capture stream outlived the process";
    const std::vector<double> pcm = fromS16(run.pcm());
    const Tone tone = measureTone(pcm, c.rate);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, c.mono, 0.03);
    EXPECT_GT(double(tone.samples), 0.8 * c.rate);
    // Clipping flattens the tops of the waves: neighbours both at the rails,
    // which a 997 Hz tone never has on its own.
    int flat = 0;
    for (std::size_t i = 1; i < pcm.size(); ++i)
      flat += std::min(std::abs(pcm[i - 1]), std::abs(pcm[i])) >= 32767 / 32768.0;
    EXPECT_EQ(flat, 0) << "clipped";
  }
}

TEST_F(E2eTest, LevelPeaksFollowThePlayedAmplitude) {
  Child run(audiotap({}));
  ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
  const double amplitudes[] = {0.1, 0.4, 0.8};
  std::vector<Segment> segments;
  for (double a : amplitudes) segments.push_back({2.2, 440, a, a});
  ASSERT_TRUE(play(server_->sink, segments, &run));
  run.closeStdin();
  ASSERT_EQ(run.finish(), 0);
  expectOrderlyEnd(run);

  const std::vector<double> pcm = fromS16(run.pcm());
  std::vector<double> peaks;
  std::size_t previous = 0;
  for (const Event& level : run.eventsOfType("level")) {
    const auto frames = level.json.at("frames").get<std::size_t>();
    ASSERT_LE(frames, pcm.size());
    double loudest = 0;
    for (std::size_t i = previous; i < frames; ++i) loudest = std::max(loudest, std::abs(pcm[i]));
    EXPECT_NEAR(level.json.at("peak").get<double>(), loudest, 1e-6)
        << "frames " << previous << " to " << frames;
    peaks.push_back(level.json.at("peak").get<double>());
    previous = frames;
  }
  // Each segment holds at least one whole one-second window.
  auto at = peaks.begin();
  for (double a : amplitudes) {
    at = std::find_if(at, peaks.end(), [a](double p) { return std::abs(p - a) < 0.03; });
    EXPECT_NE(at, peaks.end()) << "no level near " << a;
  }
}

// One frame out for every frame of the sink's time. parec on the same monitor
// clocks the sink: a loaded machine can make PipeWire's null sink itself fall
// behind the system clock. Least-squares slopes over the run keep the
// fragments' jitter out of the rates.
TEST_F(E2eTest, DeliversTheSinkTimeOneForOne) {
  constexpr double kRate = 16000;
  Child run(audiotap({}));
  Child reference({"/usr/bin/parec",
                   {"--device=" + server_->sink + ".monitor", "--format=s16le", "--rate=16000",
                    "--channels=1", "--latency-msec=20"},
                   {}});
  ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
  ASSERT_TRUE(reference.waitForBytes(3200));
  std::vector<double> seconds, frames, referenceFrames;
  const auto start = Clock::now();
  run.pumpUntil(
      [&] {
        bool once = false;
        reference.pumpUntil([&] { return std::exchange(once, true); });
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        seconds.push_back(t);
        frames.push_back(double(run.pcm().size()) / 2);
        referenceFrames.push_back(double(reference.pcm().size()) / 2);
        return t >= 31;
      },
      milliseconds(40000));
  reference.signal(SIGTERM);
  run.closeStdin();
  ASSERT_EQ(run.finish(), 0);
  expectOrderlyEnd(run);
  EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
  auto slope = [&](const std::vector<double>& y) {
    double st = 0, sy = 0, stt = 0, sty = 0;
    const double n = double(seconds.size());
    for (std::size_t i = 0; i < seconds.size(); ++i)
      st += seconds[i], sy += y[i], stt += seconds[i] * seconds[i], sty += seconds[i] * y[i];
    return (n * sty - st * sy) / (n * stt - st * st);
  };
  ASSERT_GT(seconds.size(), 500u);
  // parec can itself lose audio on a loaded machine, and the sink can fall
  // behind the system clock: the sink's true rate lies between the two, and
  // so must ours, to within 0.05%.
  const double rate = slope(frames), sinkRate = slope(referenceFrames);
  EXPECT_GE(rate, std::min(sinkRate, kRate) * 0.9995) << rate << " frames/s against parec's " << sinkRate;
  EXPECT_LE(rate, std::max(sinkRate, kRate) * 1.0005) << rate << " frames/s against parec's " << sinkRate;
  EXPECT_NEAR(rate / kRate, 1.0, 0.01) << rate << " frames/s";
}

TEST(E2eStartup, FailuresAreReportedBeforeCapture) {
  const struct {
    std::vector<std::string> args;
    Env env;
    const char* message;
  } cases[] = {
      {{}, {{"PULSE_SERVER", "unix:/nonexistent/audiotap/native"}}, "no default output device"},
      {{"--rate", "0"}, {}, "could not build a converter from the tap format to 16 kHz mono PCM16"},
      {{"--rate", "-16000"}, {}, "could not build a converter from the tap format to 16 kHz mono PCM16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (c.env.empty() && !givenServer()) continue;  // the rates are refused only once a sink is found
    Child run(audiotap(c.args, c.env));
    ASSERT_EQ(run.finish(), 1);
    EXPECT_EQ(run.pcm(), "");
    ASSERT_EQ(run.events().size(), 1u) << run.stderrText();
    EXPECT_EQ(run.events()[0].json, (json{{"type", "error"}, {"message", c.message}}));
  }
}

// PulseAudio's monitor sends nothing while its sink is suspended, and says
// nothing of it; PipeWire's null sink runs on. Either way the output keeps
// to the time captured, and a tone played once the sink has resumed comes
// back at its level (not on pipewire-pulse 0.3, whose monitor streams hear
// only silence after a suspend, parec's too).
TEST_F(E2eTest, SuspendedSinkIsSilenceOfItsLengthAndCaptureGoesOn) {
  constexpr double kRate = 16000, kSeconds = 9, kLevel = 0.5;
  Child run(audiotap({"--rate", "16000", "--seconds", "9"}));
  ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
  ASSERT_TRUE(play(server_->sink, {{1.5, 997, kLevel, kLevel}}, &run));
  const auto pactl = [&](const char* suspend) {
    return Child({"/usr/bin/pactl", {"suspend-sink", server_->sink, suspend}, {}}).finish();
  };
  ASSERT_EQ(pactl("1"), 0);
  const auto resumeAt = Clock::now() + std::chrono::seconds(3);
  run.pumpUntil([&] { return Clock::now() >= resumeAt; });
  ASSERT_EQ(pactl("0"), 0);
  ASSERT_TRUE(play(server_->sink, {{2, 997, kLevel, kLevel}}, &run));
  ASSERT_EQ(run.finish(), 0) << run.stderrText();
  expectOrderlyEnd(run);
  for (const Event& error : run.eventsOfType("error")) {
    EXPECT_EQ(error.json.value("message", ""),
              "the output device \"" + server_->sink + "\" is suspended: silence is written until it resumes");
  }
  EXPECT_LE(run.count("error"), 1u) << run.stderrText();
  const std::vector<double> pcm = fromS16(run.pcm());
  EXPECT_NEAR(double(pcm.size()) / kRate, kSeconds, 0.15) << run.stderrText();
  // Before the suspend, and after it.
  const struct {
    double from, to, loud;
  } windows[] = {{0, 2.5, 1.4}, {4.5, kSeconds, 1.9}};
  const bool pipewire = server_->script == AUDIOTAP_PIPEWIRE_SERVER_SCRIPT;
  for (const auto& w : pipewire ? std::span(windows).first(1) : std::span(windows)) {
    SCOPED_TRACE(testing::Message() << "from " << w.from << " s");
    const std::size_t to = std::min(pcm.size(), std::size_t(w.to * kRate));
    ASSERT_GT(to, std::size_t(w.from * kRate));
    const Tone tone = measureTone({pcm.begin() + std::ptrdiff_t(w.from * kRate), pcm.begin() + std::ptrdiff_t(to)},
                                  kRate);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, kLevel, 0.03);
    EXPECT_GT(double(tone.samples), w.loud * kRate);
  }
}

TEST_F(E2eTest, LossDuringCaptureIsReportedThenStopsInOrder) {
  const struct {
    bool stopServer;  // else the tapped sink goes away
    const char* message;
  } cases[] = {{true, "lost the connection to the sound server: "},
               {false, "the sound server ended the capture stream from "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    char dir[] = "/tmp/audiotap-lost-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const Env env = startServer(*server_, dir);
    ASSERT_FALSE(env.empty());
    Child run(audiotap({}, env));
    ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
    ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
    if (c.stopServer) {
      stopServer(*server_, dir);
    } else {
      EXPECT_EQ(Child({"/usr/bin/pactl", {"unload-module", "module-null-sink"}, env}).finish(), 0);
    }
    const int status = run.finish();
    stopServer(*server_, dir, true);
    ASSERT_EQ(status, 1);
    expectOrderlyEnd(run);
    ASSERT_EQ(run.count("error"), 1u) << run.stderrText();
    const std::string message = run.eventsOfType("error")[0].json.value("message", "");
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
  }
}

}  // namespace
}  // namespace audiotap::test
