// The Linux capture source against a real server: what it reports of the
// server and the sink, and its process filter, which the contract suite does
// not cover.
#include "platform/linux/pulse_source.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <deque>
#include <mutex>
#include <numbers>
#include <set>
#include <thread>

#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"

namespace audiotap::test {
namespace {

using namespace std::chrono_literals;
using namespace platform;
using Kind = SourceReport::Kind;

// The main queue: tasks posted from any thread, run by the test's thread in
// pump(). The rest of the dispatch comes from the posix one.
class TestDispatch final : public Dispatch {
 public:
  std::unique_ptr<Queue> makeSerialQueue(const std::string& label) override {
    return real_->makeSerialQueue(label);
  }
  void ignoreSignal(int) override {}
  std::unique_ptr<Source> makeSignalSource(int, std::function<void()>) override { return nullptr; }
  std::unique_ptr<Source> makeReadSource(int, std::function<void()>) override { return nullptr; }
  std::vector<std::unique_ptr<Source>> makeStopSources(std::function<void()>) override { return {}; }
  std::unique_ptr<Source> makeInputEndSource(std::function<void()>) override { return nullptr; }
  void ignoreBrokenPipe() override {}
  void asyncAfterOnMain(std::chrono::nanoseconds, std::function<void()> task) override { asyncOnMain(task); }
  void asyncOnMain(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  [[noreturn]] void runMain() override { std::abort(); }

  // Runs the main queue's tasks for `time`.
  void pump(std::chrono::milliseconds time) {
    for (const auto until = Clock::now() + time; Clock::now() < until;) {
      std::unique_lock lock(mutex_);
      std::deque<std::function<void()>> tasks;
      tasks.swap(tasks_);
      lock.unlock();
      for (auto& task : tasks) task();
      std::this_thread::sleep_for(5ms);
    }
  }

 private:
  std::unique_ptr<Dispatch> real_ = posix::makePosixDispatch();
  std::mutex mutex_;
  std::deque<std::function<void()>> tasks_;
};

// What the source delivered and reported.
struct Seen {
  std::mutex mutex;
  std::vector<float> samples;
  std::vector<SourceReport> reports;

  std::size_t frames() {
    std::lock_guard lock(mutex);
    return samples.size();
  }
  std::vector<SourceReport> reported() {
    std::lock_guard lock(mutex);
    return reports;
  }
  // The amplitude of `hz` over the last `seconds` delivered; and its largest
  // in any 50 ms of them.
  double amplitude(double hz, double rate, double seconds) { return measure(hz, rate, seconds, seconds); }
  double peakAmplitude(double hz, double rate) { return measure(hz, rate, 1e9, 0.05); }

 private:
  double measure(double hz, double rate, double seconds, double window) {
    std::lock_guard lock(mutex);
    const std::size_t n = std::min(samples.size(), std::size_t(seconds * rate));
    const std::size_t w = std::min(n, std::size_t(window * rate));
    double most = 0;
    for (std::size_t from = samples.size() - n; w > 0 && from + w <= samples.size(); from += w) {
      std::complex<double> sum;
      for (std::size_t i = from; i < from + w; ++i)
        sum += double(samples[i]) * std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / rate);
      most = std::max(most, 2 * std::abs(sum) / double(w));
    }
    return most;
  }
};

class Capturing {
 public:
  Capturing(Dispatch& dispatch, const CaptureRequest& request, Seen& seen)
      : source(dispatch), queue(dispatch.makeSerialQueue("com.orvane.audiotap.io")) {
    const SourceResult opened = source.open(request, [&seen](const SourceReport& report) {
      std::lock_guard lock(seen.mutex);
      seen.reports.push_back(report);
    });
    if (opened) {
      failure = opened->message;
      return;
    }
    const SourceResult attached =
        source.attach(*queue, [&seen](const AudioBufferList* list, const AudioBufferList*) {
          const auto* x = static_cast<const float*>(list->mBuffers[0].mData);
          std::lock_guard lock(seen.mutex);
          seen.samples.insert(seen.samples.end(), x, x + list->mBuffers[0].mDataByteSize / sizeof(float));
        });
    const SourceResult started = attached ? attached : source.start();
    if (started) failure = started->message;
  }
  ~Capturing() { source.close(Clock::now() + 2s); }

  linux::PulseSource source;
  std::unique_ptr<Queue> queue;
  std::string failure;
};

// The server's environment for this process's own clients, for a while.
class ServerEnvironment {
 public:
  explicit ServerEnvironment(const std::map<std::string, std::string>& env) {
    for (const auto& [name, value] : env) {
      const char* old = std::getenv(name.c_str());
      saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      setenv(name.c_str(), value.c_str(), 1);
    }
  }
  ~ServerEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  for (const auto until = Clock::now() + limit; !done() && Clock::now() < until;)
    std::this_thread::sleep_for(10ms);
  return done();
}

// Each on a server of its own, which goes afterwards: one report of its kind,
// the capture's timeline kept meanwhile where it goes on, and none once closed.
TEST(PulseSource, ReportsWhatBefallsTheCaptureOnceAndNothingAfterClose) {
  const auto server = givenServer();
  if (!server) GTEST_SKIP() << kNoServerReason;
  const bool pipewire = server->script == AUDIOTAP_PIPEWIRE_SERVER_SCRIPT;
  const struct {
    const char* what;
    std::vector<std::string> pactl;  // empty: the server stops
    Kind kind;
    std::string message;  // how it begins
    bool goesOn;
  } cases[] = {
      {"the server stops", {}, Kind::SystemRestarted, "lost the connection to the sound server: ", false},
      {"the sink is removed",
       {"unload-module", "module-null-sink"},
       Kind::DeviceLost,
       "the sound server ended the capture stream from " + server->sink + ".monitor: ",
       false},
      // PipeWire's null sink runs on while suspended, and says nothing.
      {"the sink is suspended",
       {"suspend-sink", server->sink, "1"},
       Kind::Notice,
       "the output device \"" + server->sink + "\" is suspended: silence is written until it resumes",
       true},
  };
  TestDispatch dispatch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (pipewire && c.kind == Kind::Notice) continue;
    char dir[] = "/tmp/audiotap-source-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const auto env = startServer(*server, dir);
    ASSERT_FALSE(env.empty());
    {
      ServerEnvironment environment(env);
      Seen seen;
      Capturing capture(dispatch, {}, seen);
      ASSERT_EQ(capture.failure, "");
      ASSERT_TRUE(waitFor([&] { return seen.frames() > 4800; }));
      if (c.pactl.empty()) {
        stopServer(*server, dir);
      } else {
        EXPECT_EQ(Child({"/usr/bin/pactl", c.pactl, env}).finish(), 0);
      }
      EXPECT_TRUE(waitFor([&] { return !seen.reported().empty(); }));
      if (c.goesOn) {
        const std::size_t frames = seen.frames();
        std::this_thread::sleep_for(1s);
        EXPECT_GT(seen.frames() - frames, 48000u / 2) << "silence while it lasts";
      }
      capture.source.close(Clock::now() + 2s);
      stopServer(*server, dir);
      std::this_thread::sleep_for(300ms);
      const auto reports = seen.reported();
      ASSERT_EQ(reports.size(), 1u) << reports.back().message;
      EXPECT_EQ(reports[0].kind, c.kind);
      EXPECT_EQ(reports[0].message.rfind(c.message, 0), 0u) << reports[0].message;
    }
    stopServer(*server, dir, true);
  }
}

// The trees as the core would keep them: a player is heard when its shell's
// group holds the sink input's process. heard() must be asked on the main
// thread only.
class GroupFilter final : public ProcessFilter {
 public:
  GroupFilter(std::vector<ProcessID> include, std::vector<ProcessID> exclude)
      : include_(std::move(include)), exclude_(std::move(exclude)) {}
  const std::vector<ProcessID>& includeRoots() const override { return include_; }
  const std::vector<ProcessID>& excludeRoots() const override { return exclude_; }
  void refresh() override { offMain = offMain || std::this_thread::get_id() != main_; }
  bool heard(ProcessID pid) const override {
    offMain = offMain || std::this_thread::get_id() != main_;
    const pid_t group = ::getpgid(pid);
    if (std::count(exclude_.begin(), exclude_.end(), group)) return false;
    return include_.empty() || std::count(include_.begin(), include_.end(), group);
  }
  mutable bool offMain = false;

 private:
  std::vector<ProcessID> include_, exclude_;
  std::thread::id main_ = std::this_thread::get_id();
};

// One player starts before the capture and one after it: each is mixed only
// as the filter decides, the later one once a pass on the main queue has.
TEST(PulseSource, MixesOnlyTheSinkInputsTheFilterHears) {
  const auto server = givenServer();
  if (!server) GTEST_SKIP() << kNoServerReason;
  constexpr double kEarly = 997, kLate = 440, kLevel = 0.3;
  const struct {
    const char* what;
    bool includeEarly, includeLate, exclude;
  } cases[] = {
      {"--include-pid of the early player", true, false, false},
      {"--include-pid of the late player", false, true, false},
      {"--exclude-pid of the late player", false, true, true},
  };
  TestDispatch dispatch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Player early(server->sink, kEarly, 0);
    std::this_thread::sleep_for(500ms);  // its sink input is there at open
    Player late(server->sink, kLate, 1);
    std::vector<ProcessID> named;
    if (c.includeEarly) named.push_back(early.pid());
    if (c.includeLate) named.push_back(late.pid());
    GroupFilter filter(c.exclude ? std::vector<ProcessID>{} : named,
                       c.exclude ? named : std::vector<ProcessID>{});
    Seen seen;
    Capturing capture(dispatch, {&filter, false}, seen);
    ASSERT_EQ(capture.failure, "");
    dispatch.pump(2000ms);
    const bool earlyHeard = c.exclude ? true : c.includeEarly;
    const bool lateHeard = c.exclude ? false : c.includeLate;
    const double rate = capture.source.format().mSampleRate;
    // Heard by the end; never heard at all, not for a fragment.
    for (const auto& [hz, heard] : {std::pair{kEarly, earlyHeard}, std::pair{kLate, lateHeard}}) {
      SCOPED_TRACE(hz);
      if (heard) {
        EXPECT_NEAR(seen.amplitude(hz, rate, 0.5), kLevel, 0.03);
      } else {
        EXPECT_LT(seen.peakAmplitude(hz, rate), 0.03);
      }
    }
    EXPECT_FALSE(filter.offMain);
  }
}

}  // namespace
}  // namespace audiotap::test
