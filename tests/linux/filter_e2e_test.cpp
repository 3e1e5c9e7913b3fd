// --include-pid and --exclude-pid against a real server (PulseAudio or
// pipewire-pulse): two players, two tones, and which of them comes back.
#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <thread>

#include "pulse_support.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

constexpr double kAmplitude = 0.3;
// 40 dB down.
constexpr double kLeftOut = kAmplitude / 100;

// `sh -c COMMAND` in a process group of its own; the shell is what the tests
// name, so the sound comes from its child.
class Shell {
 public:
  explicit Shell(const std::string& command) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Shell() {
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// A tone on both channels for `seconds`, after `delay`, as a player with a
// 20 ms buffer plays it.
std::string player(const std::string& sink, double hz, double seconds, double delay = 0) {
  char command[512];
  std::snprintf(command, sizeof command,
                "sleep %.2f; sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth %.2f sine %.0f vol %.2f | "
                "pacat --device='%s' --format=s16le --rate=48000 --channels=2 --latency-msec=20",
                delay, seconds, hz, kAmplitude, sink.c_str());
  return command;
}

// The amplitude of a tone in [from, to) seconds of 16 kHz PCM.
double amplitude(const std::string& pcm, double from, double to, double hz) {
  const std::vector<double> samples = fromS16(pcm);
  const std::size_t first = std::size_t(from * 16000),
                    last = std::min(samples.size(), std::size_t(to * 16000));
  std::complex<double> sum;
  for (std::size_t i = first; i < last; ++i) {
    sum += samples[i] * std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / 16000);
  }
  return last > first ? 2 * std::abs(sum) / double(last - first) : -1;
}

// Ends the server's recording streams called `name`, as the server does when
// it kills one; how many it ended, -1 when the server could not be asked.
int killSourceOutputs(const std::string& name) {
  pa_mainloop* loop = pa_mainloop_new();
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "audiotap-test");
  const auto until = [&](const std::function<bool()>& done) {
    for (const auto end = Clock::now() + std::chrono::seconds(5); !done() && Clock::now() < end;) {
      if (pa_mainloop_prepare(loop, 100000) < 0 || pa_mainloop_poll(loop) < 0 ||
          pa_mainloop_dispatch(loop) < 0)
        return false;
    }
    return done();
  };
  int killed = -1;
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
      until([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) {
    struct Found {
      std::string name;
      std::vector<std::uint32_t> indices;
    } found{name, {}};
    pa_operation* list = pa_context_get_source_output_info_list(
        context,
        [](pa_context*, const pa_source_output_info* info, int, void* user) {
          auto* f = static_cast<Found*>(user);
          if (info != nullptr && info->name != nullptr && f->name == info->name)
            f->indices.push_back(info->index);
        },
        &found);
    until([&] { return pa_operation_get_state(list) != PA_OPERATION_RUNNING; });
    pa_operation_unref(list);
    killed = 0;
    for (const std::uint32_t index : found.indices) {
      pa_operation* kill = pa_context_kill_source_output(
          context, index, [](pa_context*, int success, void* user) { *static_cast<int*>(user) += success; },
          &killed);
      until([&] { return pa_operation_get_state(kill) != PA_OPERATION_RUNNING; });
      pa_operation_unref(kill);
    }
  }
  pa_context_disconnect(context);
  pa_context_unref(context);
  pa_mainloop_free(loop);
  return killed;
}

class FilterE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!server_) GTEST_SKIP() << kNoServerReason;
  }
  // Until the players' streams exist on the server.
  static void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }
  Child capture(std::vector<std::string> args) {
    args.insert(args.end(), {"--seconds", "2"});
    return Child({AUDIOTAP_BINARY, std::move(args), {}});
  }
  const std::optional<PrivateServer> server_ = givenServer();
};

struct Heard {
  std::string name;
  bool include;     // --include-pid A, else --exclude-pid A
  double delayOfA;  // A's player starts this long after the shell
  bool heardA, heardB;
};

class FilterE2eHeardTest : public FilterE2eTest, public testing::WithParamInterface<Heard> {};

TEST_P(FilterE2eHeardTest, ExactlyTheChosenShellsToneComesBack) {
  const Heard& c = GetParam();
  Shell a(player(server_->sink, 660, 3.5, c.delayOfA));
  Shell b(player(server_->sink, 1000, 3.5));
  settle();
  Child run = capture({c.include ? "--include-pid" : "--exclude-pid", std::to_string(a.pid())});
  ASSERT_EQ(run.finish(), 0) << run.stderrText();
  ASSERT_EQ(run.count("ready"), 1u);
  EXPECT_EQ(run.eventsOfType("ready")[0].json.at(c.include ? "include" : "exclude"), json::array({a.pid()}));
  EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
  expectOrderlyEnd(run);
  const std::string& pcm = run.pcm();
  ASSERT_NEAR(double(pcm.size()) / 2, 32000, 3200) << run.stderrText();
  // A tone left out is left out all along, also in the moments after a late
  // player appears; one kept is measured from a moment after its stream has
  // joined, in windows short enough to show a gap.
  const double kept = c.delayOfA > 0 ? 0.6 : 0.3;
  for (const auto& [hz, heard] : {std::pair{660.0, c.heardA}, std::pair{1000.0, c.heardB}}) {
    if (heard) {
      for (double from = kept; from < 1.9; from += 0.1) {
        EXPECT_NEAR(amplitude(pcm, from, from + 0.1, hz), kAmplitude, 0.04)
            << hz << " Hz at " << from << " s\n"
            << run.stderrText();
      }
    } else {
      EXPECT_LT(amplitude(pcm, 0, 2, hz), kLeftOut) << hz << " Hz";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Linux, FilterE2eHeardTest,
    testing::Values(Heard{"ExcludeShell", false, 0, false, true},
                    Heard{"ExcludeShellWhosePlayerStartsAfterReady", false, 0.6, false, true},
                    Heard{"IncludeShell", true, 0, true, false},
                    Heard{"IncludeShellWhosePlayerStartsAfterReady", true, 0.6, true, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(FilterE2eTest, IncludedProcessThatPlaysNothingGivesSilenceAtTheRate) {
  Shell quiet("sleep 5");
  Shell b(player(server_->sink, 1000, 3.5));
  settle();
  Child run = capture({"--include-pid", std::to_string(quiet.pid()), "--rate", "8000"});
  ASSERT_EQ(run.finish(), 0) << run.stderrText();
  expectOrderlyEnd(run);
  EXPECT_NEAR(double(run.pcm().size()) / 2, 16000, 1600);
  EXPECT_EQ(run.pcm(), std::string(run.pcm().size(), '\0'));
  EXPECT_GE(run.count("level"), 1u);
}

TEST_F(FilterE2eTest, KeptStreamTheServerEndsIsReportedAndReadAgain) {
  Shell b(player(server_->sink, 1000, 6));
  settle();
  Child run({AUDIOTAP_BINARY, {"--include-pid", std::to_string(b.pid()), "--seconds", "4"}, {}});
  ASSERT_TRUE(run.waitForBytes(2 * 16000)) << run.stderrText();
  ASSERT_EQ(killSourceOutputs("Orvane Tap process"), 1);
  ASSERT_EQ(run.finish(), 0) << run.stderrText();
  expectOrderlyEnd(run);
  const auto errors = run.eventsOfType("error");
  ASSERT_EQ(errors.size(), 1u) << run.stderrText();
  EXPECT_TRUE(
      errors[0].json.at("message").get<std::string>().starts_with("could not read the audio of sink input "))
      << run.stderrText();
  // Tried again a second after it failed: the tone is back at its level.
  for (double from = 2.6; from < 3.9; from += 0.1) {
    EXPECT_NEAR(amplitude(run.pcm(), from, from + 0.1, 1000), kAmplitude, 0.04) << "at " << from << " s\n"
                                                                                << run.stderrText();
  }
}

TEST_F(FilterE2eTest, PidOfNoProcessIsRefused) {
  // A PID just freed: nothing runs under it.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  Child run({AUDIOTAP_BINARY, {"--exclude-pid", std::to_string(gone)}, {}});
  ASSERT_EQ(run.finish(), 1);
  EXPECT_TRUE(run.pcm().empty());
  ASSERT_EQ(run.events().size(), 1u) << run.stderrText();
  EXPECT_EQ(
      run.events()[0].json,
      json({{"type", "error"},
            {"message", "invalid --exclude-pid value \"" + std::to_string(gone) + "\": no such process"}}));
}

}  // namespace
}  // namespace audiotap::test
