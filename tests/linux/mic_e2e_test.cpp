// The binary with --mic in the virtual room (pulse_support.h): a far end
// played to the speakers reaches the microphone as an echo, 6 dB down, some
// 60 ms late; a near end is played into the room itself. Voices from
// espeak-ng. Several captures run at once on the same sound, so one of them
// is the yardstick of another.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "pulse_support.h"

namespace audiotap::test {
namespace {

constexpr double kRate = 16000;
constexpr const char* kNoMicrophone =
    "there is no microphone to capture: the system has no default input device";
constexpr const char* kMicrophoneLost = "the microphone was lost: its channel carries silence from now on";

struct Capture {
  std::string path;
  std::unique_ptr<Child> child;
};

class MicE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!server_) GTEST_SKIP() << kNoServerReason;
    char dir[] = "/tmp/audiotap-mic-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    for (auto& c : captures_) {
      if (c.child && !c.child->exited()) {
        c.child->signal(SIGTERM);
        c.child->finish();
      }
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // A capture whose audio goes to a file, so that nothing needs to read it meanwhile.
  Child& start(std::vector<std::string> args) {
    const std::string path = dir_ + "/capture" + std::to_string(captures_.size()) + ".raw";
    std::ofstream(path).close();
    captures_.push_back(
        {path, std::make_unique<Child>(Launch{AUDIOTAP_BINARY, std::move(args), {}, "", path})});
    return *captures_.back().child;
  }
  // Stops every capture in order; each one's samples, interleaved.
  std::vector<std::vector<double>> stopAll() {
    std::vector<std::vector<double>> out;
    for (auto& c : captures_) {
      c.child->signal(SIGINT);
      EXPECT_EQ(c.child->finish(), 0) << c.child->stderrText();
      EXPECT_EQ(c.child->count("error"), 0u) << c.child->stderrText();
      std::ifstream in(c.path, std::ios::binary);
      out.push_back(fromS16(std::string(std::istreambuf_iterator<char>(in), {})));
    }
    return out;
  }
  // A voice from espeak-ng, as a WAV file.
  std::string voice(const std::string& name, const std::string& voice, const std::string& text) {
    const std::string path = dir_ + "/" + name + ".wav";
    EXPECT_EQ(std::system(("espeak-ng -v " + voice + " -s 150 -w '" + path + "' '" + text + "'").c_str()), 0);
    return path;
  }
  static bool playFile(const std::string& sink, const std::string& path) {
    return std::system(("paplay --device='" + sink + "' '" + path + "'").c_str()) == 0;
  }

  const std::optional<PrivateServer> server_ = givenServer();
  std::string dir_;
  std::vector<Capture> captures_;
};

double energy(const std::vector<double>& x, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < std::min(to, x.size()); ++i) sum += x[i] * x[i];
  return sum;
}

// How many frames later `b` holds what `a` holds at `at` (negative: earlier).
long signedOffset(const std::vector<double>& a, const std::vector<double>& b, std::size_t at, long maxLag) {
  const auto w = std::size_t(kRate / 2);
  double best = -1e300;
  long bestLag = 0;
  for (long lag = -maxLag; lag <= maxLag; ++lag) {
    if (long(at) + lag < 0 || at + w + std::size_t(std::max(lag, 0L)) > b.size() || at + w > a.size())
      continue;
    double sum = 0;
    for (std::size_t i = at; i < at + w; ++i) sum += a[i] * b[std::size_t(long(i) + lag)];
    if (sum > best) best = sum, bestLag = lag;
  }
  return bestLag;
}

// The 100 ms windows of `x` louder than -40 dBFS, from `from` on.
std::vector<std::size_t> loudWindows(const std::vector<double>& x, std::size_t from, std::size_t to) {
  std::vector<std::size_t> windows;
  const auto w = std::size_t(kRate / 10);
  for (std::size_t at = from; at + w <= std::min(to, x.size()); at += w) {
    if (energy(x, at, at + w) / double(w) > 1e-4) windows.push_back(at);
  }
  return windows;
}

TEST_F(MicE2eTest, NoMicrophoneEndsStartUpWithNothingOnStdout) {
  shell("pactl set-default-source '" + server_->sink + ".monitor'");
  Child run(Launch{AUDIOTAP_BINARY, {"--mic"}, {}});
  ASSERT_EQ(run.finish(), 1);
  ASSERT_EQ(run.events().size(), 1u) << run.stderrText();
  EXPECT_EQ(run.events()[0].type(), "error");
  EXPECT_EQ(run.events()[0].json.value("message", ""), kNoMicrophone);
  EXPECT_TRUE(run.pcm().empty());
}

// Far end only, then near end only: the canceller against the microphone
// as it is, and the system channel against a capture without --mic.
TEST_F(MicE2eTest, CancelsTheEchoKeepsTheNearEndAndTheSystemChannel) {
  Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  const std::string far = voice("far", "en-us",
                                "The quarterly figures are in. Revenue grew by twelve percent, "
                                "and the team in Lisbon shipped the new release two weeks early. "
                                "Next we look at hiring for the second half of the year.");
  const std::string near =
      voice("near", "en-gb-scotland", "Thanks, that sounds good. Can you send me the slides?");
  Child& plain = start({"--rate", "16000"});
  Child& asIs = start({"--rate", "16000", "--mic", "--no-echo-cancel"});
  Child& cancelled = start({"--rate", "16000", "--mic"});
  if (!cancelled.waitForEvent("ready") &&
      cancelled.stderrText().find("has no echo canceller") != std::string::npos)
    GTEST_SKIP() << "a build without an echo canceller";
  for (Child* c : {&plain, &asIs, &cancelled}) ASSERT_TRUE(c->waitForEvent("ready")) << c->stderrText();
  EXPECT_EQ(asIs.events()[0].json.value("inputDeviceUID", ""), Room::kMicrophone);
  ASSERT_TRUE(play(server_->sink, {{0.3, 0, 0, 0}, {1.5, 997, 0.5, 0.5}, {0.5, 0, 0, 0}}));
  ASSERT_TRUE(playFile(server_->sink, far));
  usleep(500000);
  ASSERT_TRUE(playFile(Room::kAir, near));
  usleep(500000);
  const auto runs = stopAll();
  const std::vector<double> system = runs[0];
  const std::vector<double> echo = channelOf(runs[1], 1, 2), asIsSystem = channelOf(runs[1], 0, 2);
  const std::vector<double> residual = channelOf(runs[2], 1, 2), cancelledSystem = channelOf(runs[2], 0, 2);

  // Channel 0 is the capture without --mic: the same tone, at the same level.
  auto toneOf = [](const std::vector<double>& x) {
    const auto onset =
        std::size_t(std::find_if(x.begin(), x.end(), [](double v) { return std::abs(v) > 0.1; }) - x.begin());
    const auto end = std::min(x.size(), onset + std::size_t(1.4 * kRate));
    return measureTone(std::vector<double>(x.begin() + std::ptrdiff_t(std::min(onset, end)),
                                           x.begin() + std::ptrdiff_t(end)),
                       kRate);
  };
  const Tone reference = toneOf(system);
  for (const auto* channel : {&asIsSystem, &cancelledSystem}) {
    const Tone tone = toneOf(*channel);
    EXPECT_NEAR(tone.frequency, reference.frequency, 0.5);
    EXPECT_NEAR(20 * std::log10(tone.amplitude / reference.amplitude), 0, 0.1);
  }
  EXPECT_NEAR(reference.frequency, 997, 2);
  EXPECT_NEAR(reference.amplitude, 0.5, 0.03);

  // The stretches: the far end on the system channel, after the tone; the
  // near end on the microphone as it is, after the far end.
  const auto tenth = std::size_t(kRate / 10);
  const auto toneStart = std::size_t(
      std::find_if(asIsSystem.begin(), asIsSystem.end(), [](double v) { return std::abs(v) > 0.1; }) -
      asIsSystem.begin());
  const std::vector<std::size_t> farWindows =
      loudWindows(asIsSystem, toneStart + std::size_t(1.6 * kRate), asIsSystem.size());
  ASSERT_GT(farWindows.size(), 30u) << "the far end is missing";
  const std::size_t farStart = farWindows.front(), farEnd = farWindows.back() + 3 * tenth;
  const std::vector<std::size_t> nearWindows = loudWindows(echo, farEnd, echo.size());
  ASSERT_GT(nearWindows.size(), 10u) << "the near end is missing";
  // Where the canceller's capture holds the same moment: it started last,
  // and its echo stage holds both channels back.
  const long shift =
      signedOffset(asIsSystem, cancelledSystem, farStart + std::size_t(kRate), long(kRate / 2));
  auto cancelledAt = [shift](std::size_t at) { return std::size_t(std::max(0L, long(at) + shift)); };

  // ERLE over the far end, once the canceller has converged (3 s in).
  double echoEnergy = 0, residualEnergy = 0;
  for (std::size_t at : loudWindows(echo, farStart + std::size_t(3 * kRate), farEnd)) {
    echoEnergy += energy(echo, at, at + tenth);
    residualEnergy += energy(residual, cancelledAt(at), cancelledAt(at) + tenth);
  }
  ASSERT_GT(echoEnergy, 0);
  const double erle = 10 * std::log10(echoEnergy / std::max(residualEnergy, 1e-12));
  EXPECT_GE(erle, 25) << "ERLE, far end only";

  // The near end alone comes through the canceller at its level.
  double nearAsIs = 0, nearCancelled = 0;
  for (std::size_t at : nearWindows) {
    nearAsIs += energy(echo, at, at + tenth);
    nearCancelled += energy(residual, cancelledAt(at), cancelledAt(at) + tenth);
  }
  ASSERT_GT(nearAsIs, 0);
  EXPECT_LE(10 * std::log10(nearAsIs / std::max(nearCancelled, 1e-12)), 1) << "near-end loss (dB)";
  RecordProperty("erle_db", std::to_string(erle));
  RecordProperty("near_loss_db", std::to_string(10 * std::log10(nearAsIs / std::max(nearCancelled, 1e-12))));
}

// With --follow-output the capture takes up a new default input beside the
// same output; a sink's monitor made the default is no microphone and moves
// nothing; the captured microphone unplugged leaves silence until another
// becomes the default.
TEST_F(MicE2eTest, FollowsTheDefaultInput) {
  Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  ASSERT_TRUE(room.plugMicrophone("headset"));
  // Heard by every microphone in the room all along, so none is silent.
  Player hum(Room::kAir, 1000, 0);
  Child& run = start({"--rate", "16000", "--mic", "--no-echo-cancel", "--follow-output"});
  ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
  const auto moves = [&run, this](std::size_t count, const std::string& input) {
    run.pumpUntil([&] { return run.count("device") >= count; }, std::chrono::seconds(5));
    const auto devices = run.eventsOfType("device");
    ASSERT_EQ(devices.size(), count) << run.stderrText();
    EXPECT_EQ(devices.back().json.value("outputDeviceUID", ""), server_->sink);
    EXPECT_EQ(devices.back().json.value("inputDeviceUID", ""), input);
  };
  shell("pactl set-default-source headset");
  moves(1, "headset");
  shell("pactl set-default-source '" + server_->sink + ".monitor'");
  run.pumpUntil([] { return false; }, std::chrono::seconds(1));
  EXPECT_EQ(run.count("device"), 1u);
  room.unplug("headset");
  ASSERT_TRUE(run.waitForEvent("error")) << run.stderrText();
  shell(std::string("pactl set-default-source ") + Room::kMicrophone);
  moves(2, Room::kMicrophone);
  run.pumpUntil([] { return false; }, std::chrono::seconds(1));  // heard through the microphone taken up last
  run.signal(SIGINT);
  ASSERT_EQ(run.finish(), 0) << run.stderrText();
  const auto errors = run.eventsOfType("error");
  ASSERT_EQ(errors.size(), 1u) << run.stderrText();
  EXPECT_EQ(errors[0].json.value("message", ""), kMicrophoneLost);
  std::ifstream in(captures_[0].path, std::ios::binary);
  const std::vector<double> mic =
      channelOf(fromS16(std::string(std::istreambuf_iterator<char>(in), {})), 1, 2);
  ASSERT_GT(mic.size(), std::size_t(kRate));
  EXPECT_FALSE(loudWindows(mic, mic.size() - std::size_t(kRate), mic.size()).empty());
}

// Over a minute of the drifting room (PulseAudio's loopback adjusts its rate
// as it goes), the echo's lag behind the system channel stays what it was.
TEST_F(MicE2eTest, TheMicrophonesLagHoldsForAMinute) {
  Room room(server_->sink);
  ASSERT_TRUE(room.ok());
  Child& run = start({"--rate", "16000", "--mic", "--no-echo-cancel"});
  ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
  ASSERT_EQ(
      std::system(
          ("sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 64 whitenoise vol 0.3 | pacat --device='" +
           server_->sink + "' --format=s16le --rate=48000 --channels=2 --latency-msec=50")
              .c_str()),
      0);
  const auto runs = stopAll();
  const std::vector<double> system = channelOf(runs[0], 0, 2), mic = channelOf(runs[0], 1, 2);
  std::vector<double> lags;
  for (std::size_t at = std::size_t(2 * kRate); at + std::size_t(kRate) < system.size();
       at += std::size_t(5 * kRate)) {
    const std::optional<double> lag = lagSeconds(system, mic, at, std::size_t(kRate / 2), kRate, 0.3);
    if (lag) lags.push_back(*lag);
  }
  ASSERT_GE(lags.size(), 12u) << "less than a minute of the room's noise";
  for (std::size_t i = 0; i < lags.size(); ++i) {
    EXPECT_NEAR(lags[i] * 1000, lags[0] * 1000, 5) << "window " << i << " of " << lags.size() << " (ms)";
  }
}

}  // namespace
}  // namespace audiotap::test
