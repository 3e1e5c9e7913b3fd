// The Windows binary under wine, run from this host as a host app runs it,
// against the PulseAudio server of the root it runs in. Where it runs is the
// environment's:
//   AUDIOTAP_E2E_COMMAND  the command that starts the binary
//                         ("scripts/wine-root run ROOT wine .../audiotap.exe")
//   AUDIOTAP_E2E_INSIDE   the command that runs a program beside it, against
//                         the same server ("scripts/wine-root run ROOT");
//                         empty or unset: this host, with the PULSE_SERVER
//                         environment of scripts/pulse-server
//   AUDIOTAP_E2E_UNSEEN   what the platform under test cannot see, so its
//                         cases skip: "default-change" (wine 10 keeps one
//                         endpoint for PulseAudio's default and never calls
//                         OnDefaultDeviceChanged), "server-loss" (wine 10
//                         tells a capture client nothing when its server goes)
// so the same cases run against the Linux binary on a private server here.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#include "pulse_support.h"

namespace audiotap::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::vector<std::string> words(const char* text) {
  std::vector<std::string> all;
  std::istringstream in(text == nullptr ? "" : text);
  for (std::string word; in >> word;) all.push_back(word);
  return all;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Place {
  std::vector<std::string> command;  // the binary
  std::string inside;                // prefix of the commands beside it, or empty
  std::string sink, pulseDir;        // its server's default sink and folder
};

// Runs a shell command beside the binary; its standard output, and whether it
// exited with 0.
std::pair<std::string, bool> beside(const Place& place, const std::string& command) {
  const std::string line =
      (place.inside.empty() ? "sh -c " : place.inside + " sh -c ") + quoted(command) + " 2>/dev/null";
  std::string out;
  FILE* pipe = popen(line.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  const bool ok = pipe != nullptr && pclose(pipe) == 0;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return {out, ok};
}

bool unseen(const std::string& what) {
  const std::vector<std::string> all = words(std::getenv("AUDIOTAP_E2E_UNSEEN"));
  return std::find(all.begin(), all.end(), what) != all.end();
}

std::optional<Place> givenPlace() {
  Place place{words(std::getenv("AUDIOTAP_E2E_COMMAND")), "", "", ""};
  if (place.command.empty()) return std::nullopt;
  for (const std::string& word : words(std::getenv("AUDIOTAP_E2E_INSIDE"))) place.inside += word + " ";
  if (!place.inside.empty()) place.inside.pop_back();
  std::istringstream server(beside(place, "echo \"$AUDIOTAP_PULSE_SINK $AUDIOTAP_PULSE_DIR\"").first);
  server >> place.sink >> place.pulseDir;
  return place;
}

// The process tree below this one, from /proc: pid -> (parent, name).
std::map<pid_t, std::pair<pid_t, std::string>> processes() {
  std::map<pid_t, std::pair<pid_t, std::string>> all;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    all[std::stoi(name)] = {parent, text.substr(open + 1, close - open - 1)};
  }
  return all;
}

// This test's descendants whose name starts with `name`: the program a
// wrapper started (wine names a Windows process after its executable).
std::vector<pid_t> descendantsNamed(const std::string& name) {
  const auto all = processes();
  std::vector<pid_t> found;
  for (const auto& [pid, entry] : all) {
    if (entry.second.rfind(name, 0) != 0) continue;
    for (pid_t up = entry.first; up > 1; up = all.count(up) ? all.at(up).first : 0) {
      if (up == getpid()) {
        found.push_back(pid);
        break;
      }
    }
  }
  return found;
}

// A child whose wrappers (scripts/wine-root, chroot) may die before the
// program they run: the program, found by its name, is killed with them.
class Spawned : public Child {
 public:
  Spawned(const Launch& launch, std::string name) : Child(launch), name_(std::move(name)) {}
  Spawned(const Spawned&) = delete;
  Spawned& operator=(const Spawned&) = delete;
  ~Spawned() {
    if (!exited())
      for (const pid_t pid : descendantsNamed(name_)) ::kill(pid, SIGKILL);
  }
  // The signal goes to the program itself, not to a wrapper.
  bool signalProgram(int signo) const {
    const std::vector<pid_t> pids = descendantsNamed(name_);
    return pids.size() == 1 && ::kill(pids[0], signo) == 0;
  }

 private:
  std::string name_;
};

class WindowsE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!place_) GTEST_SKIP() << "AUDIOTAP_E2E_COMMAND is not set";
    ASSERT_FALSE(place_->sink.empty()) << "no AUDIOTAP_PULSE_SINK beside the binary";
  }

  Launch audiotap(std::vector<std::string> args) const {
    std::vector<std::string> all(place_->command.begin() + 1, place_->command.end());
    all.insert(all.end(), args.begin(), args.end());
    return {place_->command[0], all, {}};
  }
  // A program of the sound server's tools, beside the binary.
  Launch tool(const std::string& name, const std::vector<std::string>& args, std::string stdinPath = {}) const {
    std::vector<std::string> all = words(place_->inside.c_str());
    if (all.empty()) all.push_back("/usr/bin/" + name); else all.push_back(name);
    all.insert(all.end(), args.begin(), args.end());
    return {all[0], {all.begin() + 1, all.end()}, {}, std::move(stdinPath)};
  }
  bool play(const std::string& sink, const std::vector<Segment>& segments, Child* capture) const {
    return audiotap::test::play(sink, segments, capture, place_->inside);
  }
  std::optional<std::string> pactl(const std::string& arguments) const {
    auto [out, ok] = beside(*place_, "pactl " + arguments);
    return ok ? std::optional(out) : std::nullopt;
  }

  const std::optional<Place> place_ = givenPlace();
};

void expectUnclipped(const std::vector<double>& pcm) {
  // Clipping flattens the tops of the waves: neighbours both at the rails,
  // which a 997 Hz tone never has on its own.
  int flat = 0;
  for (std::size_t i = 1; i < pcm.size(); ++i)
    flat += std::min(std::abs(pcm[i - 1]), std::abs(pcm[i])) >= 32767 / 32768.0;
  EXPECT_EQ(flat, 0) << "clipped";
}

enum class Stop { kEndOfInput, kCtrlC, kSeconds };

TEST_F(WindowsE2eTest, CapturesTheToneInMonoAtEachRateUntilEachStop) {
  const struct {
    double rate, left, right, mono;
    Stop stop;
  } cases[] = {{16000, 0.5, 0.5, 0.5, Stop::kEndOfInput},
               {8000, 0.6, 0, 0.3, Stop::kCtrlC},  // the mean of unbalanced channels
               {44100, 1.0, 1.0, 1.0, Stop::kSeconds}};  // full scale stays unclipped
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "--rate " << c.rate << ", stop " << int(c.stop));
    std::vector<std::string> args = {"--rate", std::to_string(int(c.rate))};
    if (c.stop == Stop::kSeconds) args.insert(args.end(), {"--seconds", "3"});
    Spawned run(audiotap(args), "audiotap");
    ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
    json ready = run.eventsOfType("ready")[0].json;
    ASSERT_TRUE(ready.contains("outputDeviceUID") && ready["outputDeviceUID"].is_string()) << ready;
    EXPECT_NE(ready["outputDeviceUID"], "");
    ready.erase("outputDeviceUID");
    EXPECT_EQ(ready, json({{"type", "ready"},
                           {"tapFormat", {{"sampleRate", 48000.0}, {"channels", 1}}},
                           {"outputFormat", {{"sampleRate", c.rate}, {"channels", 1.0}, {"bits", 16.0}}},
                           {"version", AUDIOTAP_VERSION}}));
    ASSERT_TRUE(play(place_->sink, {{1.0, 997, c.left, c.right}}, &run));
    if (c.stop == Stop::kEndOfInput) run.closeStdin();
    if (c.stop == Stop::kCtrlC) {
      ASSERT_TRUE(run.signalProgram(SIGINT));
    }
    ASSERT_EQ(run.finish(), 0) << run.stderrText();
    expectOrderlyEnd(run);
    EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
    const std::vector<double> pcm = fromS16(run.pcm());
    if (c.stop == Stop::kSeconds) {
      EXPECT_NEAR(double(pcm.size()) / c.rate, 3, 0.15);
    }
    const Tone tone = measureTone(pcm, c.rate);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, c.mono, 0.03);
    EXPECT_GT(double(tone.samples), 0.8 * c.rate);
    expectUnclipped(pcm);
  }
}

// Nothing plays: the output is still the time captured, in exact zeros, and
// "level" keeps coming.
TEST_F(WindowsE2eTest, SilenceIsPacedByTheClockWhileNothingPlays) {
  Spawned run(audiotap({"--rate", "16000", "--seconds", "4"}), "audiotap");
  ASSERT_EQ(run.finish(20000ms), 0) << run.stderrText();
  expectOrderlyEnd(run);
  EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
  const std::vector<double> pcm = fromS16(run.pcm());
  EXPECT_NEAR(double(pcm.size()) / 16000, 4, 0.15);
  EXPECT_EQ(std::count(pcm.begin(), pcm.end(), 0.0), std::ptrdiff_t(pcm.size()));
  EXPECT_GE(run.count("level"), 3u);
}

// One frame out for every frame of the device's time, against parec on the
// same sink's monitor beside it: least-squares slopes over 30 s.
TEST_F(WindowsE2eTest, DeliversTheDeviceTimeOneForOne) {
  constexpr double kRate = 16000;
  Spawned run(audiotap({}), "audiotap");
  Spawned parec(tool("parec", {"--device=" + place_->sink + ".monitor", "--format=s16le", "--rate=16000",
                               "--channels=1", "--latency-msec=20"}),
                "parec");
  ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
  ASSERT_TRUE(parec.waitForBytes(3200));
  std::vector<double> seconds, frames, referenceFrames;
  const auto start = Clock::now();
  run.pumpUntil(
      [&] {
        bool once = false;
        parec.pumpUntil([&] { return std::exchange(once, true); });
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        seconds.push_back(t);
        frames.push_back(double(run.pcm().size()) / 2);
        referenceFrames.push_back(double(parec.pcm().size()) / 2);
        return t >= 30;
      },
      40000ms);
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
  // The sink's true rate lies between parec's and the nominal one (either
  // can lag on a loaded machine), and so must ours, to within 0.05 %.
  const double rate = slope(frames), sinkRate = slope(referenceFrames);
  EXPECT_GE(rate, std::min(sinkRate, kRate) * 0.9995) << rate << " frames/s against parec's " << sinkRate;
  EXPECT_LE(rate, std::max(sinkRate, kRate) * 1.0005) << rate << " frames/s against parec's " << sinkRate;
}

// A second null sink made the default: the capture moves there only with
// --follow-output, and a tone played into the sink it captures arrives at
// its level while the other sink's does not.
TEST_F(WindowsE2eTest, DefaultDeviceChangeIsFollowedOnlyWithTheOption) {
  constexpr const char* kSecond = "audiotap_second";
  const std::string module =
      pactl(std::string("load-module module-null-sink sink_name=") + kSecond + " rate=44100 channels=2")
          .value_or("");
  ASSERT_FALSE(module.empty()) << "could not load a second null sink";
  // An idle null sink renders seconds ahead; a stream keeps it in small blocks.
  Spawned keeper(tool("pacat", {"--playback", std::string("--device=") + kSecond, "--format=s16le", "--rate=44100",
                                "--channels=2", "--latency-msec=10"},
                      "/dev/zero"),
                 "pacat");
  struct Finally {
    std::function<void()> run;
    ~Finally() { run(); }
  } restore{[&] {
    pactl("set-default-sink " + place_->sink);
    pactl("unload-module " + module);
  }};

  for (const bool follow : {false, true}) {
    SCOPED_TRACE(follow ? "--follow-output" : "without the option");
    if (follow && unseen("default-change")) {
      GTEST_SKIP() << "without the option the capture stayed on its device; the platform under test cannot announce "
                      "a new default (AUDIOTAP_E2E_UNSEEN)";
    }
    ASSERT_TRUE(pactl("set-default-sink " + place_->sink));
    std::vector<std::string> args = {"--rate", "16000"};
    if (follow) args.push_back("--follow-output");
    Spawned run(audiotap(args), "audiotap");
    ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
    const std::string first = run.eventsOfType("ready")[0].json.value("outputDeviceUID", "");
    ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
    ASSERT_TRUE(pactl(std::string("set-default-sink ") + kSecond));
    if (follow) {
      ASSERT_TRUE(run.waitForEvent("device", 5000ms)) << run.stderrText();
      const json device = run.eventsOfType("device")[0].json;
      EXPECT_NE(device.value("outputDeviceUID", ""), first) << device;
      EXPECT_EQ(device.value("tapFormat", json()).value("channels", 0), 1) << device;
    } else {
      EXPECT_FALSE(run.waitForEvent("device", 1500ms));
    }
    const std::string captured = follow ? kSecond : place_->sink;
    const std::string other = follow ? place_->sink : kSecond;
    ASSERT_TRUE(play(other, {{0.5, 440, 0.5, 0.5}}, &run));
    ASSERT_TRUE(play(captured, {{1.0, 997, 0.6, 0.4}}, &run));
    run.closeStdin();
    ASSERT_EQ(run.finish(), 0) << run.stderrText();
    expectOrderlyEnd(run);
    EXPECT_EQ(run.count("device"), follow ? 1u : 0u) << run.stderrText();
    EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
    const Tone tone = measureTone(fromS16(run.pcm()), 16000);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, 0.5, 0.03);
    EXPECT_GT(double(tone.samples), 0.8 * 16000);
    EXPECT_LT(double(tone.samples), 1.2 * 16000) << "the other sink's tone arrived too";
    ASSERT_TRUE(pactl("set-default-sink " + place_->sink));
  }
}

// The server goes away during capture: one "error", "stopped" counting what
// was written, exit status 1. The server is started again for what follows.
TEST_F(WindowsE2eTest, ServerGoingAwayEndsTheCaptureInOrder) {
  if (unseen("server-loss")) GTEST_SKIP() << "the platform under test cannot see its server go (AUDIOTAP_E2E_UNSEEN)";
  ASSERT_FALSE(place_->pulseDir.empty()) << "no AUDIOTAP_PULSE_DIR beside the binary";
  const std::string script = AUDIOTAP_PULSE_SERVER_SCRIPT;
  Spawned run(audiotap({"--rate", "16000"}), "audiotap");
  ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
  ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
  const bool stopped = beside(*place_, script + " stop " + quoted(place_->pulseDir)).second;
  const int status = stopped ? run.finish() : -1;
  const bool started = beside(*place_, script + " start " + quoted(place_->pulseDir) + " >/dev/null").second;
  ASSERT_TRUE(stopped);
  ASSERT_TRUE(started) << "the server did not start again in " << place_->pulseDir;
  ASSERT_EQ(status, 1) << run.stderrText();
  expectOrderlyEnd(run);
  ASSERT_EQ(run.count("error"), 1u) << run.stderrText();
  EXPECT_NE(run.eventsOfType("error")[0].json.value("message", ""), "");
}

}  // namespace
}  // namespace audiotap::test
