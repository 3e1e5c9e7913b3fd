#include "platform/posix/posix_dispatch.h"

#include "platform/posix/stop_sources.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/common/serial_queue.h"
#include "platform/common/timer_heap.h"
#include "platform/posix/mailbox.h"

namespace audiotap::platform::posix {

std::int64_t monotonicNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

// A deadline past the clock's range never comes; it must not wrap into the past.
std::int64_t deadlineAfter(std::chrono::nanoseconds delay) {
  const std::int64_t now = monotonicNanoseconds();
  const std::int64_t ticks = delay.count();
  if (ticks > 0 && ticks > INT64_MAX - now) return INT64_MAX;
  return now + ticks;
}

// ---------------------------------------------------------------------------
// Signals. Dispositions are process-wide, so the bookkeeping is too.

// The write end of the pipe that each signal goes to, plus one: 0 is none.
std::array<std::atomic<int>, NSIG> signalPipes{};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads these");

struct SignalSlot {
  int activeSources = 0;
  struct sigaction previous {};
};
std::mutex signalMutex;
std::array<SignalSlot, NSIG> signalSlots;

extern "C" void forwardSignal(int signo) {
  const int savedErrno = errno;
  const int fd = signalPipes[signo].load(std::memory_order_relaxed) - 1;
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
  errno = savedErrno;
}

bool validSignal(int signo) { return signo > 0 && signo < NSIG && signo <= UCHAR_MAX; }

void ignoreSignalNow(int signo) {
  if (!validSignal(signo)) return;
  std::lock_guard lock(signalMutex);
  SignalSlot& slot = signalSlots[signo];
  if (slot.activeSources > 0) {
    // A source keeps the signal until its last one goes; then it is ignored.
    slot.previous = {};
    slot.previous.sa_handler = SIG_IGN;
    return;
  }
  ::signal(signo, SIG_IGN);
}

void startForwarding(int signo, int pipeFd) {
  std::lock_guard lock(signalMutex);
  SignalSlot& slot = signalSlots[signo];
  signalPipes[signo].store(pipeFd + 1);
  if (slot.activeSources++ > 0) return;
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signo, &action, &slot.previous);
}

void stopForwarding(int signo) {
  std::lock_guard lock(signalMutex);
  SignalSlot& slot = signalSlots[signo];
  if (--slot.activeSources > 0) return;
  ::sigaction(signo, &slot.previous, nullptr);
  signalPipes[signo].store(0);
}

// ---------------------------------------------------------------------------
// Serial queues.

using SerialQueue = common::SerialQueue<Mailbox>;

void nameThisThread([[maybe_unused]] const std::string& label) {
#ifdef __linux__
  // Linux keeps 15 bytes of a thread name; the end of a reverse-DNS label says most.
  const std::string name = label.size() > 15 ? label.substr(label.size() - 15) : label;
  ::pthread_setname_np(::pthread_self(), name.c_str());
#endif
}

// ---------------------------------------------------------------------------
// The main loop.

struct SourceState {
  enum class Kind { signal, read };
  Kind kind;
  int number;  // the signal or the descriptor
  std::function<void()> handler;
  std::atomic<bool> resumed{false};
  std::atomic<bool> cancelled{false};
};

class Loop {
 public:
  Loop() { openPipe(signalEnds_); }

  ~Loop() {
    for (auto& fd : signalPipes) {
      int mine = signalEnds_[1] + 1;
      fd.compare_exchange_strong(mine, 0);
    }
    ::close(signalEnds_[0]);
    ::close(signalEnds_[1]);
  }

  void post(std::function<void()> task) { mailbox_.post(std::move(task)); }

  void postAfter(std::chrono::nanoseconds delay, std::function<void()> task) {
    const std::int64_t deadline = deadlineAfter(delay);
    // The heap is the main thread's alone; the deadline counts from now.
    post([this, deadline, task = std::move(task)]() mutable {
      timers_.add(deadline, std::move(task));
    });
  }

  void add(std::shared_ptr<SourceState> source) {
    std::lock_guard lock(sourcesMutex_);
    sources_.push_back(std::move(source));
  }

  void resume(SourceState& source) {
    if (source.resumed.exchange(true) || source.cancelled.load()) return;
    if (source.kind == SourceState::Kind::signal) startForwarding(source.number, signalEnds_[1]);
    // Makes the loop poll again with the new source in its set.
    post([] {});
  }

  void cancel(SourceState& source) {
    if (source.cancelled.exchange(true)) return;
    if (source.kind == SourceState::Kind::signal && source.resumed.load()) stopForwarding(source.number);
  }

  [[noreturn]] void run() {
    std::vector<pollfd> polled;
    std::vector<std::shared_ptr<SourceState>> readers;
    for (;;) {
      timers_.runDue(monotonicNanoseconds());
      for (int i = 0; i < kTasksPerTurn; ++i) {
        std::function<void()> task = mailbox_.take();
        if (!task) break;
        task();
      }

      polled.assign({{mailbox_.wakeFd(), POLLIN, 0}, {signalEnds_[0], POLLIN, 0}});
      bool invalidReader = false;
      collectReaders(readers);
      for (const auto& reader : readers) {
        polled.push_back({reader->number, POLLIN, 0});
        invalidReader |= reader->number < 0;
      }

      int timeout = invalidReader ? 0 : timeoutToNextTimer();
      if (timeout != 0 && !mailbox_.prepareToSleep()) timeout = 0;
      const int ready = ::poll(polled.data(), polled.size(), timeout);
      mailbox_.awake(ready > 0 && polled[0].revents != 0);
      if (ready < 0) continue;  // EINTR: a signal's byte is in the pipe by now

      if (polled[1].revents != 0) deliverSignals();
      for (std::size_t i = 0; i < readers.size(); ++i) {
        // poll() skips negative descriptors; they are as invalid as a closed one.
        const bool fired = polled[i + 2].revents != 0 || readers[i]->number < 0;
        if (fired && !readers[i]->cancelled.load()) readers[i]->handler();
      }
      readers.clear();
    }
  }

 private:
  static constexpr int kTasksPerTurn = 64;

  int timeoutToNextTimer() const {
    if (mailbox_.pending()) return 0;
    if (timers_.empty()) return -1;
    const std::int64_t left = timers_.nextDeadline() - monotonicNanoseconds();
    if (left <= 0) return 0;
    // Rounded up: waking before the deadline would only spin until it.
    const std::int64_t milliseconds = left / 1'000'000 + (left % 1'000'000 != 0 ? 1 : 0);
    return int(std::min<std::int64_t>(milliseconds, INT_MAX));
  }

  void collectReaders(std::vector<std::shared_ptr<SourceState>>& readers) {
    std::lock_guard lock(sourcesMutex_);
    std::erase_if(sources_, [](const auto& source) { return source->cancelled.load(); });
    for (const auto& source : sources_) {
      if (source->kind == SourceState::Kind::read && source->resumed.load()) readers.push_back(source);
    }
  }

  void deliverSignals() {
    unsigned char signals[64];
    ssize_t count;
    while ((count = ::read(signalEnds_[0], signals, sizeof signals)) > 0) {
      for (ssize_t i = 0; i < count; ++i) {
        std::vector<std::shared_ptr<SourceState>> handlers;
        {
          std::lock_guard lock(sourcesMutex_);
          for (const auto& source : sources_) {
            if (source->kind == SourceState::Kind::signal && source->number == signals[i] &&
                source->resumed.load()) {
              handlers.push_back(source);
            }
          }
        }
        for (const auto& source : handlers) {
          if (!source->cancelled.load()) source->handler();
        }
      }
    }
  }

  Mailbox mailbox_;
  int signalEnds_[2];
  std::mutex sourcesMutex_;
  std::vector<std::shared_ptr<SourceState>> sources_;
  common::TimerHeap<std::int64_t> timers_;  // main thread only
};

class LoopSource final : public platform::Source {
 public:
  LoopSource(std::shared_ptr<Loop> loop, std::shared_ptr<SourceState> state)
      : loop_(std::move(loop)), state_(std::move(state)) {
    loop_->add(state_);
  }
  ~LoopSource() override { loop_->cancel(*state_); }

  void resume() override { loop_->resume(*state_); }
  void cancel() override { loop_->cancel(*state_); }

 private:
  std::shared_ptr<Loop> loop_;
  std::shared_ptr<SourceState> state_;
};

class PosixDispatch final : public platform::Dispatch {
 public:
  std::unique_ptr<platform::Queue> makeSerialQueue(const std::string& label) override {
    return std::make_unique<SerialQueue>([label] { nameThisThread(label); });
  }

  void ignoreSignal(int signo) override { ignoreSignalNow(signo); }

  std::unique_ptr<platform::Source> makeSignalSource(int signo, std::function<void()> handler) override {
    return makeSource(SourceState::Kind::signal, signo, std::move(handler));
  }

  std::unique_ptr<platform::Source> makeReadSource(int fd, std::function<void()> handler) override {
    return makeSource(SourceState::Kind::read, fd, std::move(handler));
  }

  std::vector<std::unique_ptr<platform::Source>> makeStopSources(std::function<void()> handler) override {
    return ::audiotap::platform::posix::makeStopSources(*this, std::move(handler));
  }

  std::unique_ptr<platform::Source> makeInputEndSource(std::function<void()> handler) override {
    return ::audiotap::platform::posix::makeInputEndSource(*this, std::move(handler));
  }

  void ignoreBrokenPipe() override { ignoreSignalNow(SIGPIPE); }

  void asyncAfterOnMain(std::chrono::nanoseconds delay, std::function<void()> task) override {
    loop_->postAfter(delay, std::move(task));
  }

  void asyncOnMain(std::function<void()> task) override { loop_->post(std::move(task)); }

  [[noreturn]] void runMain() override { loop_->run(); }

 private:
  std::unique_ptr<platform::Source> makeSource(SourceState::Kind kind, int number,
                                               std::function<void()> handler) {
    auto state = std::make_shared<SourceState>();
    state->kind = kind;
    state->number = number;
    state->handler = std::move(handler);
    // A signal that cannot be caught makes a source that never fires.
    if (kind == SourceState::Kind::signal && !validSignal(number)) state->cancelled = true;
    return std::make_unique<LoopSource>(loop_, std::move(state));
  }

  std::shared_ptr<Loop> loop_ = std::make_shared<Loop>();
};

}  // namespace

std::unique_ptr<platform::Dispatch> makePosixDispatch() { return std::make_unique<PosixDispatch>(); }

}  // namespace audiotap::platform::posix
