#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "platform/windows/handle_output.h"
#include "platform/windows/windows_dispatch.h"

namespace audiotap::platform::windows {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::Input;
using testing::require;
using testing::tell;

enum : int { kOk, kWrongThread = 2, kWrongCount, kWrongOrder, kEarly, kUnexpected, kReturnedEarly, kWriterOpen };

// Runs `last` on the main queue after `turns` more turns of the loop.
void afterTurns(platform::Dispatch& dispatch, int turns, std::function<void()> last) {
  dispatch.asyncAfterOnMain(0ns, [&dispatch, turns, last] {
    if (turns == 0) return last();
    afterTurns(dispatch, turns - 1, last);
  });
}

TEST(SerialQueue, RunsTasksInOrderOnOneOtherThreadAndDrainWaitsForThem) {
  auto dispatch = makeWindowsDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.test");
  bool laterRan = false, outOfOrder = false;
  std::latch release(1);
  queue->async([&] { release.wait(); });
  queue->async([&] { laterRan = true; });
  EXPECT_FALSE(queue->drain(20ms)) << "a blocked task";
  EXPECT_FALSE(laterRan);
  release.count_down();

  // Posters race the queue's thread, which sleeps and wakes as they go.
  constexpr int kPosters = 4, kTasksEach = 2000;
  std::vector<int> lastSeen(kPosters, -1);
  std::vector<std::thread::id> runners;
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
  ASSERT_TRUE(queue->drain(30s));
  EXPECT_TRUE(laterRan);
  EXPECT_FALSE(outOfOrder);
  EXPECT_EQ(lastSeen, std::vector<int>(kPosters, kTasksEach - 1));
  ASSERT_EQ(runners.size(), 1u);
  EXPECT_NE(runners.front(), std::this_thread::get_id());
}

// ---------------------------------------------------------------------------
// The main loop, in children.

// Posted out of order, one already due and one past the clock's range, which
// must not wrap into the past; the last is posted from another thread while
// the loop sleeps.
AUDIOTAP_CHILD(delayedTasks, [] {
  auto dispatch = makeWindowsDispatch();
  const DWORD mainThread = ::GetCurrentThreadId();
  const auto start = std::chrono::steady_clock::now();
  std::vector<int> order;
  dispatch->asyncAfterOnMain(std::chrono::nanoseconds::max(), [] { std::exit(kUnexpected); });
  for (const int ms : {20, -5, 10, 0}) {
    dispatch->asyncAfterOnMain(std::chrono::milliseconds(ms), [&, ms] {
      require(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(ms), kEarly);
      require(::GetCurrentThreadId() == mainThread, kWrongThread);
      order.push_back(ms);
      if (order.size() < 4) return;
      require(order == std::vector<int>{-5, 0, 10, 20}, kWrongOrder);
      std::thread([&] {
        dispatch->asyncOnMain([&] { std::exit(::GetCurrentThreadId() == mainThread ? kOk : kWrongThread); });
      }).detach();
    });
  }
  dispatch->runMain();
});

// The end of standard input: a pipe whose writer closes after some bytes, or
// at once; a named pipe whose server disconnects (how some hosts' pipes end);
// NUL; no standard input at all, which the platform fills with NUL.
// The handler runs once, on the main thread, after the writer closed.
AUDIOTAP_CHILD(inputEnd, [] {
  ensureStandardHandles();
  auto dispatch = makeWindowsDispatch();
  const DWORD mainThread = ::GetCurrentThreadId();
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  int calls = 0;
  auto source = dispatch->makeInputEndSource([&] {
    require(::GetCurrentThreadId() == mainThread, kWrongThread);
    DWORD available = 0;
    require(::GetFileType(input) != FILE_TYPE_PIPE || !::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr),
            kWriterOpen);
    ++calls;
    afterTurns(*dispatch, 20, [&] { std::exit(calls == 1 ? kOk : kWrongCount); });
  });
  source->resume();
  tell("watching");
  dispatch->runMain();
});

TEST(InputEnd, RunsTheHandlerOnceOnTheMainThreadWhenStandardInputEnds) {
  const struct {
    const char* name;
    Input input;
    std::vector<std::string> writes;
  } cases[] = {{"bytes, then the writer closes", Input::pipe, {"some bytes", "and more\n"}},
               {"the writer closes at once", Input::pipe, {}},
               {"a named pipe's server disconnects", Input::namedPipe, {}},
               {"NUL", Input::null, {}},
               {"none", Input::none, {}}};
  for (const auto& c : cases) {
    Child child("inputEnd", c.input);
    EXPECT_EQ(child.readLine(), "watching") << c.name;
    for (const std::string& bytes : c.writes) {
      DWORD written = 0, left = 1;
      ASSERT_TRUE(::WriteFile(child.input, bytes.data(), DWORD(bytes.size()), &written, nullptr));
      // Each piece is read before the next: a reader that took the first
      // read for the end would leave the second in the pipe.
      for (int tries = 0; tries < 3000 && left > 0; ++tries) {
        ::PeekNamedPipe(child.peek, nullptr, 0, nullptr, &left, nullptr);
        if (left > 0) ::Sleep(1);
      }
      EXPECT_EQ(left, 0u) << c.name << ": \"" << bytes << "\" was never read";
    }
    child.closeInput();
    EXPECT_EQ(child.wait(), "exit 0") << c.name;
  }
}

// The console's control events, delivered as the console does, on a thread
// of their own; after the closing event Windows ends the process as soon as
// the handler returns, so that one must hold while the stop runs.
AUDIOTAP_CHILD(closeEvent, [] {
  auto dispatch = makeWindowsDispatch();
  HANDLE closer = nullptr;
  auto sources = dispatch->makeStopSources([&] {
    // A handler that returned at once has let the process end by now.
    require(::WaitForSingleObject(closer, 1000) == WAIT_TIMEOUT, kReturnedEarly);
    std::exit(kOk);
  });
  for (auto& source : sources) source->resume();
  closer = ::CreateThread(
      nullptr, 0,
      [](void*) -> DWORD {
        consoleControl(CTRL_CLOSE_EVENT);
        ::ExitProcess(kReturnedEarly);
      },
      nullptr, 0, nullptr);
  dispatch->runMain();
});

// Calls the console's handler on the main thread for one event, with the
// stop source as the case says, before the loop runs: the handler of a source
// that is cancelled or was never resumed must not run. Called directly: wine
// 10 refuses GenerateConsoleCtrlEvent without a terminal, and with one it ends
// the target process without calling any of its handlers.
struct DirectEvent {
  DWORD event;
  bool resumed, cancelled, expectHandled;
};
constexpr DirectEvent kDirectEvents[] = {
    {CTRL_C_EVENT, true, false, true},
    {CTRL_BREAK_EVENT, true, false, true},
    {CTRL_BREAK_EVENT, true, true, false},
    {CTRL_C_EVENT, false, false, false},
};

void directEvent(const DirectEvent& c) {
  auto dispatch = makeWindowsDispatch();
  int calls = 0;
  auto sources = dispatch->makeStopSources([&] { ++calls; });
  for (auto& source : sources) {
    if (c.resumed) source->resume();
    if (c.cancelled) source->cancel();
  }
  require(consoleControl(c.event) == TRUE, kUnexpected);
  afterTurns(*dispatch, 20, [&] { std::exit(calls == (c.expectHandled ? 1 : 0) ? kOk : kWrongCount); });
  dispatch->runMain();
}

AUDIOTAP_CHILD(directEvent0, [] { directEvent(kDirectEvents[0]); });
AUDIOTAP_CHILD(directEvent1, [] { directEvent(kDirectEvents[1]); });
AUDIOTAP_CHILD(directEvent2, [] { directEvent(kDirectEvents[2]); });
AUDIOTAP_CHILD(directEvent3, [] { directEvent(kDirectEvents[3]); });

TEST(MainLoop, EachScenarioEndsAsExpected) {
  const struct {
    const char* name;
    std::string child;
  } cases[] = {{"delayed tasks", "delayedTasks"},
               {"the console's closing", "closeEvent"},
               {"Ctrl+C", "directEvent0"},
               {"Ctrl+Break", "directEvent1"},
               {"a cancelled stop source", "directEvent2"},
               {"a stop source never resumed", "directEvent3"}};
  for (const auto& c : cases) {
    Child child(c.child, Input::pipe);
    EXPECT_EQ(child.wait(), "exit 0") << c.name;
  }
}

}  // namespace
}  // namespace audiotap::platform::windows
