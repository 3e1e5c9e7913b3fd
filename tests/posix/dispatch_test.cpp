#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "platform/posix/posix_dispatch.h"
#include "support/platform_checks.h"

namespace audiotap::platform::posix {
namespace {

using namespace std::chrono_literals;
using audiotap::testing::afterTurns;
using testing::require;
using testing::runInChild;

enum : int { kOk, kWrongThread = 2, kWrongData, kWrongCount, kWrongOrder, kEarly, kUnexpected };

TEST(SerialQueue, RunsTasksInOrderOnOneOtherThreadAndDrainWaitsForThem) {
  auto dispatch = makePosixDispatch();
  audiotap::testing::expectSerialQueue(*dispatch->makeSerialQueue("com.orvane.audiotap.test"));
}

// Each signal comes while the loop runs, to a thread of its own, or is raised
// before it runs; the last handler hands a task to the loop from another thread.
TEST(MainLoop, SignalsAndTasksFromOtherThreadsRunOnTheMainThread) {
  const struct {
    const char* name;
    std::vector<int> signals;
    bool beforeRunMain, ignoredFirst;
  } cases[] = {{"three, ignored first, each to its own thread", {SIGINT, SIGTERM, SIGHUP}, false, true},
               {"raised before the loop runs", {SIGHUP}, true, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(runInChild([&] {
                auto dispatch = makePosixDispatch();
                const pthread_t mainThread = pthread_self();
                std::size_t handled = 0;
                std::vector<std::unique_ptr<platform::Source>> sources;
                for (const int signo : c.signals) {
                  if (c.ignoredFirst) dispatch->ignoreSignal(signo);
                  sources.push_back(dispatch->makeSignalSource(signo, [&] {
                    require(pthread_equal(pthread_self(), mainThread) != 0, kWrongThread);
                    if (++handled < c.signals.size()) return;
                    std::thread([&] {
                      dispatch->asyncOnMain(
                          [&] { std::exit(pthread_equal(pthread_self(), mainThread) ? kOk : kWrongThread); });
                    }).detach();
                  }));
                  sources.back()->resume();
                  if (c.beforeRunMain) ::raise(signo);
                  if (!c.beforeRunMain) std::thread([=] { ::pthread_kill(pthread_self(), signo); }).detach();
                }
                dispatch->runMain();
              }),
              "exit 0")
        << c.name;
  }
}

TEST(ReadSource, SeesEveryByteThenEndOfFile) {
  EXPECT_EQ(runInChild([] {
              int ends[2];
              require(::pipe(ends) == 0 && ::write(ends[1], "hel", 3) == 3, 50);
              auto dispatch = makePosixDispatch();
              std::string received;
              auto source = dispatch->makeReadSource(ends[0], [&] {
                char byte;
                // One byte per call, as the standard-input watcher reads: the rest must wake it again.
                const ssize_t got = ::read(ends[0], &byte, 1);
                if (got == 1) return received.push_back(byte);
                require(got == 0 && received == "hello", kWrongData);
                std::exit(kOk);
              });
              source->resume();
              std::thread([w = ends[1]] {
                require(::write(w, "lo", 2) == 2, 51);
                ::close(w);
              }).detach();
              dispatch->runMain();
            }),
            "exit 0");
}

// Two sources on bad or ready descriptors; the handler reads nothing and
// cancels both. So it is called once in all, or never: a descriptor that
// stays ready must not spin a cancelled source, nor wake a suspended one.
TEST(ReadSource, CallsMatchTheSourcesState) {
  const struct {
    const char* name;
    int fd;  // 0: a pipe with a byte in it
    bool resumed, cancelled;
    int expectedCalls;
  } cases[] = {{"never opened", 900, true, false, 1},
               {"negative", -1, true, false, 1},
               {"never resumed", 0, false, false, 0},
               {"cancelled before the loop runs", 0, true, true, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(runInChild([&] {
                auto dispatch = makePosixDispatch();
                int calls = 0;
                std::unique_ptr<platform::Source> sources[2];
                for (int i = 0; i < 2; ++i) {
                  int ends[2];
                  require(::pipe(ends) == 0 && ::write(ends[1], "x", 1) == 1, 50);
                  sources[i] = dispatch->makeReadSource(c.fd == 0 ? ends[0] : c.fd + (c.fd > 0) * i, [&] {
                    ++calls;
                    for (auto& any : sources) any->cancel();
                  });
                  if (c.resumed) sources[i]->resume();
                  if (c.cancelled) sources[i]->cancel();
                }
                afterTurns(*dispatch, 20, [&] { std::exit(calls == c.expectedCalls ? kOk : kWrongCount); });
                dispatch->runMain();
              }),
              "exit 0")
        << c.name;
  }
}

// Posted out of order, one already due and one past the clock's range, which
// must not wrap into the past.
TEST(MainQueue, DelayedTasksRunInDeadlineOrderAndNeverEarly) {
  EXPECT_EQ(runInChild([] {
              auto dispatch = makePosixDispatch();
              const auto start = std::chrono::steady_clock::now();
              std::vector<int> order;
              dispatch->asyncAfterOnMain(std::chrono::nanoseconds::max(), [] { std::exit(kUnexpected); });
              for (const int ms : {20, -5, 10, 0}) {
                dispatch->asyncAfterOnMain(std::chrono::milliseconds(ms), [&, ms] {
                  require(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ms), kEarly);
                  order.push_back(ms);
                  if (order.size() == 4)
                    std::exit(order == std::vector<int>{-5, 0, 10, 20} ? kOk : kWrongOrder);
                });
              }
              dispatch->runMain();
            }),
            "exit 0");
}

}  // namespace
}  // namespace audiotap::platform::posix
