#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "platform/posix/posix_dispatch.h"

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;
using testing::describeStatus;
using testing::exitedWith;
using testing::require;
using testing::runInChild;

// Exit codes of the child scenarios.
enum : int {
  kOk = 0,
  kWrongThread = 2,
  kOverlapped = 3,
  kUnexpectedCall = 4,
  kWrongData = 5,
  kWrongCount = 6,
  kEarly = 7,
  kWrongOrder = 8,
};

// ---------------------------------------------------------------------------
// Signal sources

enum class Delivery { beforeRunMain, toProcess, toOtherThread };

struct SignalCase {
  const char* name;
  int signo;
  Delivery delivery;
  bool ignoredFirst;
};

class SignalDelivery : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalDelivery, ReachesTheHandlerOnTheMainThread) {
  const SignalCase c = GetParam();
  const int status = runInChild([c] {
    auto dispatch = makePosixDispatch();
    const pthread_t mainThread = pthread_self();
    if (c.ignoredFirst) dispatch->ignoreSignal(c.signo);
    auto source = dispatch->makeSignalSource(c.signo, [&] {
      require(pthread_equal(pthread_self(), mainThread) != 0, kWrongThread);
      std::exit(kOk);
    });
    source->resume();

    std::thread sender;
    switch (c.delivery) {
      case Delivery::beforeRunMain:
        ::raise(c.signo);
        break;
      case Delivery::toProcess:
        sender = std::thread([&] { ::kill(::getpid(), c.signo); });
        break;
      case Delivery::toOtherThread:
        sender = std::thread([&] { ::pthread_kill(pthread_self(), c.signo); });
        break;
    }
    if (sender.joinable()) sender.detach();
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignalDelivery,
    ::testing::Values(SignalCase{"SigintIgnoredToProcess", SIGINT, Delivery::toProcess, true},
                      SignalCase{"SigtermIgnoredToThread", SIGTERM, Delivery::toOtherThread, true},
                      SignalCase{"SighupToThread", SIGHUP, Delivery::toOtherThread, false},
                      SignalCase{"SigintBeforeRunMain", SIGINT, Delivery::beforeRunMain, true},
                      SignalCase{"Sigusr1ToProcess", SIGUSR1, Delivery::toProcess, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SignalSources, TwoSignalsAtOnceRunTheirHandlersOneAtATime) {
  const int status = runInChild([] {
    auto dispatch = makePosixDispatch();
    bool inHandler = false;  // not atomic on purpose: handlers on two threads would race
    int handled = 0;
    auto handler = [&] {
      require(!inHandler, kOverlapped);
      inHandler = true;
      std::this_thread::sleep_for(20ms);
      inHandler = false;
      if (++handled == 2) std::exit(kOk);
    };
    std::vector<std::unique_ptr<platform::Source>> sources;
    for (const int signo : {SIGINT, SIGTERM}) {
      dispatch->ignoreSignal(signo);
      sources.push_back(dispatch->makeSignalSource(signo, handler));
      sources.back()->resume();
    }
    auto senders = std::make_shared<std::latch>(2);
    for (const int signo : {SIGINT, SIGTERM}) {
      std::thread([senders, signo] {
        senders->arrive_and_wait();
        ::pthread_kill(pthread_self(), signo);
      }).detach();
    }
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

struct CancelCase {
  const char* name;
  bool ignoredFirst;
  const char* expected;
};

class SignalCancel : public ::testing::TestWithParam<CancelCase> {};

// After its last source goes, the signal gets back the disposition it had:
// ignored, or the default action that ends the process.
TEST_P(SignalCancel, PutsBackThePreviousDisposition) {
  const CancelCase c = GetParam();
  const int status = runInChild([c] {
    auto dispatch = makePosixDispatch();
    if (c.ignoredFirst) dispatch->ignoreSignal(SIGUSR1);
    auto first = dispatch->makeSignalSource(SIGUSR1, [] { std::exit(kUnexpectedCall); });
    auto second = dispatch->makeSignalSource(SIGUSR1, [] { std::exit(kUnexpectedCall); });
    first->resume();
    second->resume();
    first->cancel();
    second.reset();
    ::raise(SIGUSR1);
    dispatch->asyncAfterOnMain(50ms, [] { std::exit(kOk); });
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SignalCancel,
                         ::testing::Values(CancelCase{"Ignored", true, "exit 0"},
                                           CancelCase{"Default", false, "signal 10 (User defined signal 1)"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Read sources

TEST(ReadSources, SeeEveryByteThenEndOfFile) {
  const int status = runInChild([] {
    int ends[2];
    require(::pipe(ends) == 0, 50);
    auto dispatch = makePosixDispatch();
    std::string received;
    std::unique_ptr<platform::Source> source;
    source = dispatch->makeReadSource(ends[0], [&] {
      char byte;
      // One byte per call, as the standard-input watcher reads: the rest must
      // still wake the loop.
      const ssize_t got = ::read(ends[0], &byte, 1);
      require(got >= 0, kWrongData);
      if (got == 1) {
        received += byte;
        return;
      }
      require(received == "hello, loop", kWrongData);
      std::exit(kOk);
    });
    source->resume();
    std::thread([w = ends[1]] {
      for (const char* piece : {"hel", "lo, ", "loop"}) {
        require(::write(w, piece, std::strlen(piece)) == ssize_t(std::strlen(piece)), 51);
        std::this_thread::sleep_for(5ms);
      }
      ::close(w);
    }).detach();
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

enum class BadDescriptor { neverOpened, negative, closedAfterResume, hungUpPipe };

struct BadCase {
  const char* name;
  BadDescriptor kind;
};

class ReadSourceOnBadDescriptor : public ::testing::TestWithParam<BadCase> {};

// The handler is told once, cancels, and is never called again: no spinning.
TEST_P(ReadSourceOnBadDescriptor, CallsTheHandlerOnceWhenItCancels) {
  const BadCase c = GetParam();
  const int status = runInChild([c] {
    auto dispatch = makePosixDispatch();
    int fd = -1;
    int ends[2] = {-1, -1};
    switch (c.kind) {
      case BadDescriptor::neverOpened:
        fd = 900;
        break;
      case BadDescriptor::negative:
        fd = -1;
        break;
      case BadDescriptor::closedAfterResume:
      case BadDescriptor::hungUpPipe:
        require(::pipe(ends) == 0, 50);
        fd = ends[0];
        break;
    }
    int calls = 0;
    std::unique_ptr<platform::Source> source;
    source = dispatch->makeReadSource(fd, [&] {
      ++calls;
      source->cancel();
    });
    source->resume();
    if (c.kind == BadDescriptor::closedAfterResume) ::close(ends[0]);
    if (c.kind == BadDescriptor::hungUpPipe) ::close(ends[1]);
    dispatch->asyncAfterOnMain(100ms, [&] {
      require(calls == 1, kWrongCount);
      std::exit(kOk);
    });
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadSourceOnBadDescriptor,
                         ::testing::Values(BadCase{"NeverOpened", BadDescriptor::neverOpened},
                                           BadCase{"Negative", BadDescriptor::negative},
                                           BadCase{"ClosedAfterResume", BadDescriptor::closedAfterResume},
                                           BadCase{"HungUpPipe", BadDescriptor::hungUpPipe}),
                         [](const auto& info) { return std::string(info.param.name); });

enum class Lifecycle { neverResumed, cancelledBeforeRun, destroyedBeforeRun, cancelEachOther };

struct LifecycleCase {
  const char* name;
  Lifecycle lifecycle;
  int expectedCalls;
};

class ReadSourceLifecycle : public ::testing::TestWithParam<LifecycleCase> {};

// Two readable pipes: a source that is suspended, cancelled or gone is never
// called, even when the cancel comes from another handler of the same turn.
TEST_P(ReadSourceLifecycle, HandlerCallsMatchTheSourcesState) {
  const LifecycleCase c = GetParam();
  const int status = runInChild([c] {
    auto dispatch = makePosixDispatch();
    int calls = 0;
    std::unique_ptr<platform::Source> sources[2];
    for (auto& source : sources) {
      int ends[2];
      require(::pipe(ends) == 0, 50);
      require(::write(ends[1], "x", 1) == 1, 51);
      source = dispatch->makeReadSource(ends[0], [&] {
        ++calls;
        // Nothing is read: only cancelling keeps the handler from coming back.
        for (auto& any : sources) {
          if (any) any->cancel();
        }
      });
    }
    for (auto& source : sources) {
      switch (c.lifecycle) {
        case Lifecycle::neverResumed:
          break;
        case Lifecycle::cancelledBeforeRun:
          source->resume();
          source->cancel();
          break;
        case Lifecycle::destroyedBeforeRun:
          source->resume();
          source.reset();
          break;
        case Lifecycle::cancelEachOther:
          source->resume();
          break;
      }
    }
    dispatch->asyncAfterOnMain(100ms, [&] {
      require(calls == c.expectedCalls, kWrongCount);
      std::exit(kOk);
    });
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadSourceLifecycle,
    ::testing::Values(LifecycleCase{"NeverResumed", Lifecycle::neverResumed, 0},
                      LifecycleCase{"CancelledBeforeRun", Lifecycle::cancelledBeforeRun, 0},
                      LifecycleCase{"DestroyedBeforeRun", Lifecycle::destroyedBeforeRun, 0},
                      LifecycleCase{"CancelEachOther", Lifecycle::cancelEachOther, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Tasks and delayed tasks

std::int64_t monotonicNow() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

TEST(MainQueue, DelayedTasksRunInDeadlineOrderAndNeverEarly) {
  const int status = runInChild([] {
    auto dispatch = makePosixDispatch();
    const std::int64_t start = monotonicNow();
    std::vector<int> order;
    // Too far for the clock: must neither wrap into the past nor block the rest.
    dispatch->asyncAfterOnMain(std::chrono::nanoseconds::max(), [] { std::exit(kUnexpectedCall); });
    for (const int ms : {40, 10, 30, 0, 20, -5}) {
      dispatch->asyncAfterOnMain(std::chrono::milliseconds(ms), [&, ms] {
        require(monotonicNow() - start >= std::int64_t(ms) * 1'000'000, kEarly);
        order.push_back(ms);
        if (order.size() < 6) return;
        require(order == std::vector<int>{0, -5, 10, 20, 30, 40} ||
                    order == std::vector<int>{-5, 0, 10, 20, 30, 40},
                kWrongOrder);
        // Leaves time for the far timer to misfire, were it to.
        dispatch->asyncAfterOnMain(30ms, [] { std::exit(kOk); });
      });
    }
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

TEST(MainQueue, TasksFromManyThreadsWakeTheIdleLoopAndKeepEachPostersOrder) {
  const int status = runInChild([] {
    auto dispatch = makePosixDispatch();
    const pthread_t mainThread = pthread_self();
    constexpr int kPosters = 4;
    constexpr int kTasksEach = 1000;
    std::vector<int> next(kPosters, 0);
    int total = 0;
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster) {
      posters.emplace_back([&, poster] {
        // Leaves the main thread asleep in poll() with nothing to wait for.
        std::this_thread::sleep_for(20ms);
        for (int i = 0; i < kTasksEach; ++i) {
          dispatch->asyncOnMain([&, poster, i] {
            require(pthread_equal(pthread_self(), mainThread) != 0, kWrongThread);
            require(next[poster] == i, kWrongOrder);
            ++next[poster];
            if (++total < kPosters * kTasksEach) return;
            for (auto& thread : posters) thread.join();
            std::exit(kOk);
          });
        }
      });
    }
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

TEST(MainQueue, TasksPostedBeforeRunMainRunInOrderOnceItStarts) {
  const int status = runInChild([] {
    auto dispatch = makePosixDispatch();
    std::vector<int> seen;
    std::vector<int> expected;
    for (int i = 0; i < 200; ++i) {
      expected.push_back(i);
      dispatch->asyncOnMain([&, i] { seen.push_back(i); });
    }
    dispatch->asyncOnMain([&] {
      require(seen == expected, kWrongOrder);
      std::exit(kOk);
    });
    dispatch->runMain();
  });
  EXPECT_EQ(describeStatus(status), exitedWith(kOk));
}

}  // namespace
}  // namespace audiotap::posix
