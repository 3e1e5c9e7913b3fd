// The dispatch model: a main queue served by the main thread, serial queues,
// signal and read sources, and one-shot delayed tasks. libdispatch on macOS;
// a POSIX poll loop elsewhere.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace audiotap::platform {

// A serial queue: tasks run one at a time, in the order they were posted, on
// a thread that is not the main thread.
class Queue {
 public:
  virtual ~Queue() = default;
  virtual void async(std::function<void()> task) = 0;
  // Waits until every task posted before this call has finished, for at most
  // `limit`. Returns false when the limit ran out first. Must not be called
  // from the queue itself.
  virtual bool drain(std::chrono::milliseconds limit) = 0;
};

// A signal or read source. Created suspended; its handler runs on the main
// queue once resumed. Never null: one the system refuses never fires.
class Source {
 public:
  virtual ~Source() = default;
  virtual void resume() = 0;
  // Stops the handler from being called again. Safe to call from the handler.
  virtual void cancel() = 0;
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;

  virtual std::unique_ptr<Queue> makeSerialQueue(const std::string& label) = 0;

  // signal(signo, SIG_IGN). A signal source made for the same signal still
  // sees every delivery, whichever thread the kernel picks.
  virtual void ignoreSignal(int signo) = 0;
  virtual std::unique_ptr<Source> makeSignalSource(int signo, std::function<void()> handler) = 0;

  // The handler runs each time `fd` is readable (end of file and errors
  // included) and must read from it itself, or cancel the source, or it will
  // be called again at once.
  virtual std::unique_ptr<Source> makeReadSource(int fd, std::function<void()> handler) = 0;

  // The platform's requests to stop the process (SIGINT, SIGTERM and SIGHUP
  // on POSIX; Ctrl+C, Ctrl+Break and the console's closing on Windows): each
  // runs `handler` on the main queue. Created suspended, like any source.
  virtual std::vector<std::unique_ptr<Source>> makeStopSources(std::function<void()> handler) = 0;
  // `handler` runs once on the main queue when standard input ends. Input
  // that cannot be read at all stops being watched, and the process goes on.
  virtual std::unique_ptr<Source> makeInputEndSource(std::function<void()> handler) = 0;
  // A write to a closed pipe fails with an error instead of ending the
  // process (SIGPIPE ignored on POSIX; nothing to do on Windows).
  virtual void ignoreBrokenPipe() = 0;

  // Runs `task` on the main queue once `delay` has passed on the monotonic
  // (uptime) clock. Cannot be cancelled.
  virtual void asyncAfterOnMain(std::chrono::nanoseconds delay, std::function<void()> task) = 0;
  // Runs `task` on the main queue. Any thread may call this.
  virtual void asyncOnMain(std::function<void()> task) = 0;

  // The main thread serves the main queue from now on. Never returns.
  [[noreturn]] virtual void runMain() = 0;
};

}  // namespace audiotap::platform
