#include "platform/windows/windows_dispatch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace audiotap::platform::windows {
namespace {

using Clock = std::chrono::steady_clock;

// Windows ends the process some five seconds after the console's closing
// whatever the handler does; the orderly stop needs about one.
constexpr DWORD kCloseHoldMilliseconds = 3000;

// A deadline past the clock's range never comes; it must not wrap into the past.
Clock::time_point deadlineAfter(std::chrono::nanoseconds delay) {
  const Clock::time_point now = Clock::now();
  if (delay.count() > 0 && delay > Clock::time_point::max() - now) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(delay);
}

// A task list with many posters and one taker, and an event that wakes the
// taker when it sleeps. Posting takes no lock: the IO path may post.
class Mailbox {
 public:
  Mailbox() : head_(new Node), tail_(head_.load()), wake_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (wake_ == nullptr) throw std::system_error(int(::GetLastError()), std::system_category(), "CreateEvent");
  }
  ~Mailbox() {
    for (Node* node = tail_; node != nullptr;) {
      Node* next = node->next.load(std::memory_order_acquire);
      delete node;
      node = next;
    }
    ::CloseHandle(wake_);
  }
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  void post(std::function<void()> task) {
    Node* node = new Node;
    node->task = std::move(task);
    // Between the exchange and the link the taker sees head_ != tail_ but no
    // next node; pending() then keeps it from sleeping until the link lands.
    Node* previous = head_.exchange(node);
    previous->next.store(node, std::memory_order_release);
    if (asleep_.exchange(false)) ::SetEvent(wake_);
  }

  // The taker only. An empty function when nothing is ready.
  std::function<void()> take() {
    Node* next = tail_->next.load(std::memory_order_acquire);
    if (next == nullptr) return {};
    std::function<void()> task = std::move(next->task);
    next->task = nullptr;
    delete tail_;
    tail_ = next;
    return task;
  }

  bool pending() const { return head_.load() != tail_; }

  // The taker only: sleeps until a post or the timeout, unless a task came in.
  void sleep(DWORD timeout) {
    if (timeout == 0) return;
    // Pairs with post(): either the poster sees asleep_ set and sets the
    // event, or this load sees its node. A wake-up left over from an earlier
    // turn only costs one empty turn.
    asleep_.store(true);
    if (!pending()) ::WaitForSingleObject(wake_, timeout);
    asleep_.store(false);
  }

 private:
  struct Node {
    std::function<void()> task;
    std::atomic<Node*> next{nullptr};
  };

  std::atomic<Node*> head_;  // the node posted last
  Node* tail_;               // a taken node whose next is the oldest pending one
  std::atomic<bool> asleep_{false};
  const HANDLE wake_;
};

// ---------------------------------------------------------------------------
// Serial queues.

class SerialQueue final : public platform::Queue {
 public:
  SerialQueue() : core_(std::make_shared<Core>()) {
    thread_ = std::thread([core = core_] { serve(*core); });
  }

  ~SerialQueue() override {
    Core* core = core_.get();
    core_->mailbox.post([core] { core->stopping = true; });
    if (std::this_thread::get_id() == thread_.get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  void async(std::function<void()> task) override { core_->mailbox.post(std::move(task)); }

  bool drain(std::chrono::milliseconds limit) override {
    if (std::this_thread::get_id() == thread_.get_id()) return false;
    // Shared, because a task blocked past the limit still finishes later.
    struct Mark {
      std::mutex mutex;
      std::condition_variable reached;
      bool done = false;
    };
    auto mark = std::make_shared<Mark>();
    async([mark] {
      std::lock_guard lock(mark->mutex);
      mark->done = true;
      mark->reached.notify_all();
    });
    std::unique_lock lock(mark->mutex);
    return mark->reached.wait_for(lock, limit, [&] { return mark->done; });
  }

 private:
  struct Core {
    Mailbox mailbox;
    bool stopping = false;  // the queue's own thread only
  };

  static void serve(Core& core) {
    for (;;) {
      while (std::function<void()> task = core.mailbox.take()) {
        task();
        if (core.stopping) return;
      }
      core.mailbox.sleep(INFINITE);
    }
  }

  std::shared_ptr<Core> core_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// The main loop.

class Loop {
 public:
  void post(std::function<void()> task) { mailbox_.post(std::move(task)); }

  void postAfter(std::chrono::nanoseconds delay, std::function<void()> task) {
    const Clock::time_point deadline = deadlineAfter(delay);
    // The heap is the main thread's alone; the deadline counts from now.
    post([this, deadline, task = std::move(task)]() mutable {
      timers_.push(Timer{deadline, nextTimer_++, std::move(task)});
    });
  }

  [[noreturn]] void run() {
    for (;;) {
      runDueTimers();
      for (int i = 0; i < kTasksPerTurn; ++i) {
        std::function<void()> task = mailbox_.take();
        if (!task) break;
        task();
      }
      mailbox_.sleep(timeoutToNextTimer());
    }
  }

 private:
  static constexpr int kTasksPerTurn = 64;

  struct Timer {
    Clock::time_point deadline;
    std::uint64_t order;
    std::function<void()> task;
    bool operator>(const Timer& other) const {
      return deadline != other.deadline ? deadline > other.deadline : order > other.order;
    }
  };

  void runDueTimers() {
    const Clock::time_point now = Clock::now();
    while (!timers_.empty() && timers_.top().deadline <= now) {
      // top() is const; the task leaves the heap before it runs.
      std::function<void()> task = std::move(const_cast<Timer&>(timers_.top()).task);
      timers_.pop();
      task();
    }
  }

  DWORD timeoutToNextTimer() const {
    if (mailbox_.pending()) return 0;
    if (timers_.empty() || timers_.top().deadline == Clock::time_point::max()) return INFINITE;
    const auto left = timers_.top().deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up: waking before the deadline would only spin until it.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return DWORD(std::min<std::int64_t>(milliseconds, INFINITE - 1));
  }

  Mailbox mailbox_;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;  // main thread only
  std::uint64_t nextTimer_ = 0;                                                 // main thread only
};

// ---------------------------------------------------------------------------
// Sources: each fires by posting its handler to the main queue, where a
// cancelled source's handler no longer runs.

struct SourceState {
  std::shared_ptr<Loop> loop;
  std::function<void()> handler;
  std::atomic<bool> resumed{false};
  std::atomic<bool> cancelled{false};

  static void fire(const std::shared_ptr<SourceState>& state) {
    state->loop->post([state] {
      if (!state->cancelled.load()) state->handler();
    });
  }
};

class LoopSource final : public platform::Source {
 public:
  LoopSource(std::shared_ptr<SourceState> state, std::function<void(std::shared_ptr<SourceState>)> onResume)
      : state_(std::move(state)), onResume_(std::move(onResume)) {}
  ~LoopSource() override { cancel(); }

  void resume() override {
    if (state_->resumed.exchange(true) || state_->cancelled.load()) return;
    if (onResume_) onResume_(state_);
  }
  void cancel() override { state_->cancelled.store(true); }

 private:
  std::shared_ptr<SourceState> state_;
  std::function<void(std::shared_ptr<SourceState>)> onResume_;
};

// The console's control events, process-wide as the console handler is.
std::mutex controlMutex;
std::vector<std::weak_ptr<SourceState>> controlSources;  // guarded by controlMutex
bool controlWatched = false;                              // guarded by controlMutex

// From now on a control event no longer ends the process by default: it goes
// to the resumed stop sources, or nowhere, as an ignored signal would.
void watchControlEvents(const std::shared_ptr<SourceState>& source) {
  std::lock_guard lock(controlMutex);
  std::erase_if(controlSources, [](const auto& weak) { return weak.expired(); });
  controlSources.push_back(source);
  if (controlWatched) return;
  controlWatched = true;
  ::SetConsoleCtrlHandler(consoleControl, TRUE);
  // A parent that started us with Ctrl+C disabled does not get to keep it
  // from stopping us in order, as a POSIX parent's ignored SIGINT does not.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
}

// The reader of standard input: end of file, a broken pipe (how a pipe says
// its writer closed) or a named pipe whose server disconnected runs the
// handler; a read that fails otherwise ends the watch.
void watchInput(HANDLE input, const std::shared_ptr<SourceState>& state) {
  std::thread([input, state] {
    char bytes[4096];
    for (;;) {
      DWORD got = 0;
      if (::ReadFile(input, bytes, sizeof bytes, &got, nullptr)) {
        if (got == 0) break;
        continue;
      }
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_HANDLE_EOF) break;
      // Ctrl+C interrupts a read from the console; the control event says it.
      if (error == ERROR_OPERATION_ABORTED && !state->cancelled.load()) continue;
      return;
    }
    SourceState::fire(state);
  }).detach();
}

class NeverSource final : public platform::Source {
 public:
  void resume() override {}
  void cancel() override {}
};

class WindowsDispatch final : public platform::Dispatch {
 public:
  std::unique_ptr<platform::Queue> makeSerialQueue(const std::string&) override {
    return std::make_unique<SerialQueue>();
  }

  void ignoreSignal(int) override {}
  std::unique_ptr<platform::Source> makeSignalSource(int, std::function<void()>) override {
    return std::make_unique<NeverSource>();
  }
  std::unique_ptr<platform::Source> makeReadSource(int, std::function<void()>) override {
    return std::make_unique<NeverSource>();
  }

  std::vector<std::unique_ptr<platform::Source>> makeStopSources(std::function<void()> handler) override {
    std::vector<std::unique_ptr<platform::Source>> sources;
    sources.push_back(std::make_unique<LoopSource>(makeState(std::move(handler)), watchControlEvents));
    return sources;
  }

  std::unique_ptr<platform::Source> makeInputEndSource(std::function<void()> handler) override {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    // The reader fires once, as it ends with the input.
    return std::make_unique<LoopSource>(makeState(std::move(handler)), [input](std::shared_ptr<SourceState> resumed) {
      if (input != nullptr && input != INVALID_HANDLE_VALUE) watchInput(input, resumed);
    });
  }

  void ignoreBrokenPipe() override {}

  void asyncAfterOnMain(std::chrono::nanoseconds delay, std::function<void()> task) override {
    loop_->postAfter(delay, std::move(task));
  }

  void asyncOnMain(std::function<void()> task) override { loop_->post(std::move(task)); }

  [[noreturn]] void runMain() override { loop_->run(); }

 private:
  std::shared_ptr<SourceState> makeState(std::function<void()> handler) {
    auto state = std::make_shared<SourceState>();
    state->loop = loop_;
    state->handler = std::move(handler);
    return state;
  }

  std::shared_ptr<Loop> loop_ = std::make_shared<Loop>();
};

}  // namespace

BOOL WINAPI consoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  bool delivered = false;
  {
    std::lock_guard lock(controlMutex);
    for (const auto& weak : controlSources) {
      const std::shared_ptr<SourceState> source = weak.lock();
      if (source == nullptr || source->cancelled.load()) continue;
      SourceState::fire(source);
      delivered = true;
    }
  }
  const bool ending = event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
  // The stop ends the process with exit(), which ends this thread too.
  if (delivered && ending) ::Sleep(kCloseHoldMilliseconds);
  return TRUE;
}

std::unique_ptr<platform::Dispatch> makeWindowsDispatch() { return std::make_unique<WindowsDispatch>(); }

}  // namespace audiotap::platform::windows
