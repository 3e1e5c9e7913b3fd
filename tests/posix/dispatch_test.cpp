#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "platform/posix/posix_dispatch.h"

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;
using testing::require;
using testing::runInChild;

// Never runs out on a loaded machine while the queue is free.
constexpr auto kGenerous = 30s;

TEST(SerialQueue, RunsEachPostersTasksInOrderOnOneOtherThreadAndDrainWaitsForThem) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.test");
  constexpr int kPosters = 4, kTasksEach = 2000;
  // Plain variables: tasks running on two threads at once would race under TSan.
  std::vector<int> lastSeen(kPosters, -1);
  std::vector<std::thread::id> runners;
  bool outOfOrder = false;
  std::vector<std::thread> posters;
  for (int poster = 0; poster < kPosters; ++poster) {
    posters.emplace_back([&, poster] {
      for (int i = 0; i < kTasksEach; ++i) {
        queue->async([&, poster, i] {
          outOfOrder |= lastSeen[poster] != i - 1;
          lastSeen[poster] = i;
          if (runners.empty() || runners.back() != std::this_thread::get_id())
            runners.push_back(std::this_thread::get_id());
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(queue->drain(kGenerous));
  EXPECT_FALSE(outOfOrder);
  EXPECT_EQ(lastSeen, std::vector<int>(kPosters, kTasksEach - 1));
  ASSERT_EQ(runners.size(), 1u);
  EXPECT_NE(runners.front(), std::this_thread::get_id());
}

TEST(SerialQueue, DrainGivesUpOnABlockedTaskAndSucceedsOnceItIsReleased) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("drain");
  std::latch release(1);
  std::atomic<bool> laterRan{false};
  queue->async([&] { release.wait(); });
  queue->async([&] { laterRan = true; });
  EXPECT_FALSE(queue->drain(20ms));
  EXPECT_FALSE(queue->drain(0ms));
  EXPECT_FALSE(laterRan.load());
  release.count_down();
  EXPECT_TRUE(queue->drain(kGenerous));
  EXPECT_TRUE(laterRan.load());
}

enum : int { kOk, kWrongThread = 2, kOverlap, kUnexpected, kWrongData, kWrongCount, kEarly, kWrongOrder };

enum class Delivery { beforeRunMain, toProcess, toOwnThread };

struct SignalCase {
  const char* name;
  std::vector<int> signals;  // sent at once, each from its own thread
  Delivery delivery;
  bool ignoredFirst;
};

class SignalSource : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalSource, EverySignalReachesItsHandlerOnTheMainThreadOneAtATime) {
  const SignalCase c = GetParam();
  EXPECT_EQ(runInChild([&] {
              auto dispatch = makePosixDispatch();
              const pthread_t mainThread = pthread_self();
              bool inHandler = false;  // plain bool: handlers on two threads would race under TSan
              std::size_t handled = 0;
              std::vector<std::unique_ptr<platform::Source>> sources;
              for (const int signo : c.signals) {
                if (c.ignoredFirst) dispatch->ignoreSignal(signo);
                sources.push_back(dispatch->makeSignalSource(signo, [&] {
                  require(pthread_equal(pthread_self(), mainThread) != 0, kWrongThread);
                  require(!inHandler, kOverlap);
                  inHandler = true;
                  std::this_thread::sleep_for(10ms);  // widens the window for a second handler
                  inHandler = false;
                  if (++handled == c.signals.size()) std::exit(kOk);
                }));
                sources.back()->resume();
              }
              for (const int signo : c.signals) {
                if (c.delivery == Delivery::beforeRunMain) ::raise(signo);
                if (c.delivery == Delivery::toProcess)
                  std::thread([=] { ::kill(::getpid(), signo); }).detach();
                if (c.delivery == Delivery::toOwnThread)
                  std::thread([=] { ::pthread_kill(pthread_self(), signo); }).detach();
              }
              dispatch->runMain();
            }),
            "exit 0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignalSource,
    ::testing::Values(SignalCase{"IntIgnoredToProcess", {SIGINT}, Delivery::toProcess, true},
                      SignalCase{"TermIgnoredToOtherThread", {SIGTERM}, Delivery::toOwnThread, true},
                      SignalCase{"HupToOtherThread", {SIGHUP}, Delivery::toOwnThread, false},
                      SignalCase{"IntBeforeRunMain", {SIGINT}, Delivery::beforeRunMain, true},
                      SignalCase{"ThreeAtOnce", {SIGINT, SIGTERM, SIGHUP}, Delivery::toOwnThread, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadSource, SeesEveryByteThenEndOfFile) {
  EXPECT_EQ(runInChild([] {
              int ends[2];
              require(::pipe(ends) == 0, 50);
              auto dispatch = makePosixDispatch();
              std::string received;
              auto source = dispatch->makeReadSource(ends[0], [&] {
                char byte;
                // One byte per call, as the standard-input watcher reads: the rest must wake it again.
                const ssize_t got = ::read(ends[0], &byte, 1);
                if (got == 1) received += byte;
                if (got == 1) return;
                require(got == 0 && received == "hello, loop", kWrongData);
                std::exit(kOk);
              });
              source->resume();
              std::thread([w = ends[1]] {
                for (const std::string piece : {"hel", "lo, ", "loop"}) {
                  require(::write(w, piece.data(), piece.size()) == ssize_t(piece.size()), 51);
                  std::this_thread::sleep_for(5ms);
                }
                ::close(w);
              }).detach();
              dispatch->runMain();
            }),
            "exit 0");
}

enum class Fd { readablePipe, hungUpPipe, closedAfterResume, neverOpened, negative };
enum class Life { resumed, neverResumed, cancelledBeforeRun };

struct CallsCase {
  const char* name;
  Fd fd;
  Life life;
  int expectedCalls;
};

class ReadSourceCalls : public ::testing::TestWithParam<CallsCase> {};

// Two sources on the same kind of descriptor; the handler reads nothing and
// cancels both. So a handler is called once in all, or never: a descriptor
// that stays ready must not spin a cancelled source, nor wake a suspended one.
TEST_P(ReadSourceCalls, MatchTheSourcesState) {
  const CallsCase c = GetParam();
  EXPECT_EQ(runInChild([&] {
              auto dispatch = makePosixDispatch();
              int calls = 0;
              std::unique_ptr<platform::Source> sources[2];
              int ends[2][2];
              for (int i = 0; i < 2; ++i) {
                require(::pipe(ends[i]) == 0 && ::write(ends[i][1], "x", 1) == 1, 50);
                const int fd = c.fd == Fd::neverOpened ? 900 + i : c.fd == Fd::negative ? -1 : ends[i][0];
                sources[i] = dispatch->makeReadSource(fd, [&] {
                  ++calls;
                  for (auto& any : sources) any->cancel();
                });
              }
              for (int i = 0; i < 2; ++i) {
                if (c.life != Life::neverResumed) sources[i]->resume();
                if (c.life == Life::cancelledBeforeRun) sources[i]->cancel();
                if (c.fd == Fd::hungUpPipe) ::close(ends[i][1]);
                if (c.fd == Fd::closedAfterResume) ::close(ends[i][0]);
              }
              dispatch->asyncAfterOnMain(100ms, [&] {
                require(calls == c.expectedCalls, kWrongCount);
                std::exit(kOk);
              });
              dispatch->runMain();
            }),
            "exit 0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadSourceCalls,
    ::testing::Values(CallsCase{"Readable", Fd::readablePipe, Life::resumed, 1},
                      CallsCase{"HungUp", Fd::hungUpPipe, Life::resumed, 1},
                      CallsCase{"ClosedAfterResume", Fd::closedAfterResume, Life::resumed, 1},
                      CallsCase{"NeverOpened", Fd::neverOpened, Life::resumed, 1},
                      CallsCase{"Negative", Fd::negative, Life::resumed, 1},
                      CallsCase{"NeverResumed", Fd::readablePipe, Life::neverResumed, 0},
                      CallsCase{"Cancelled", Fd::readablePipe, Life::cancelledBeforeRun, 0}),
    [](const auto& info) { return std::string(info.param.name); });

std::int64_t monotonicNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

TEST(MainQueue, DelayedTasksRunInDeadlineOrderAndNeverEarly) {
  EXPECT_EQ(runInChild([] {
              auto dispatch = makePosixDispatch();
              const std::int64_t start = monotonicNow();
              std::vector<int> order;
              // Past the clock's range: must neither wrap into the past nor hold up the rest.
              dispatch->asyncAfterOnMain(std::chrono::nanoseconds::max(), [] { std::exit(kUnexpected); });
              for (const int ms : {40, 10, 30, -5, 20, 0}) {
                dispatch->asyncAfterOnMain(std::chrono::milliseconds(ms), [&, ms] {
                  require(monotonicNow() - start >= std::int64_t(ms) * 1'000'000, kEarly);
                  order.push_back(ms);
                  if (order.size() < 6) return;
                  require(order == std::vector<int>{-5, 0, 10, 20, 30, 40}, kWrongOrder);
                  dispatch->asyncAfterOnMain(30ms, [] { std::exit(kOk); });
                });
              }
              dispatch->runMain();
            }),
            "exit 0");
}

TEST(MainQueue, ATaskFromAnotherThreadWakesTheIdleLoopAndRunsOnTheMainThread) {
  EXPECT_EQ(runInChild([] {
              auto dispatch = makePosixDispatch();
              const pthread_t mainThread = pthread_self();
              std::thread([&] {
                std::this_thread::sleep_for(20ms);  // the main thread is asleep in poll() by then
                dispatch->asyncOnMain(
                    [&] { std::exit(pthread_equal(pthread_self(), mainThread) ? kOk : kWrongThread); });
              }).detach();
              dispatch->runMain();
            }),
            "exit 0");
}

}  // namespace
}  // namespace audiotap::posix
