#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <csignal>

#include "platform/macos/backend.h"
#include "platform/macos/dispatch_time.h"
#include "platform/posix/stop_sources.h"

namespace audiotap::platform::macos {

MacQueue::MacQueue(const std::string& label)
    : queue_(dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL)) {}

void MacQueue::async(std::function<void()> task) {
  dispatch_async(queue_, ^{
    task();
  });
}

bool MacQueue::drain(std::chrono::milliseconds limit) {
  // The queue is serial: once this marker has run, so has everything posted
  // before it.
  dispatch_semaphore_t done = dispatch_semaphore_create(0);
  dispatch_async(queue_, ^{
    dispatch_semaphore_signal(done);
  });
  const std::optional<std::int64_t> delta = dispatchDelta(limit);
  const dispatch_time_t deadline = delta ? dispatch_time(DISPATCH_TIME_NOW, *delta) : DISPATCH_TIME_FOREVER;
  return dispatch_semaphore_wait(done, deadline) == 0;
}

namespace {

// Never null: a source libdispatch refuses (a signal number or descriptor out
// of its range) is kept as one that never fires, as on the other platforms.
class MacSource final : public Source {
 public:
  explicit MacSource(dispatch_source_t source) : source_(source) {}
  ~MacSource() override {
    if (source_ == nullptr) return;
    dispatch_source_cancel(source_);
    // libdispatch crashes on the release of a source that was never resumed.
    if (!resumed_) dispatch_resume(source_);
  }

  void resume() override {
    if (resumed_ || source_ == nullptr) return;
    resumed_ = true;
    dispatch_resume(source_);
  }
  void cancel() override {
    if (source_ != nullptr) dispatch_source_cancel(source_);
  }

 private:
  dispatch_source_t source_;
  bool resumed_ = false;
};

std::unique_ptr<Source> makeSource(dispatch_source_type_t type, uintptr_t handle,
                                   std::function<void()> handler) {
  dispatch_source_t source = dispatch_source_create(type, handle, 0, dispatch_get_main_queue());
  if (source != nullptr) {
    dispatch_source_set_event_handler(source, ^{
      handler();
    });
  }
  return std::make_unique<MacSource>(source);
}

class MacDispatch final : public Dispatch {
 public:
  std::unique_ptr<Queue> makeSerialQueue(const std::string& label) override {
    return std::make_unique<MacQueue>(label);
  }

  void ignoreSignal(int signo) override { signal(signo, SIG_IGN); }

  std::unique_ptr<Source> makeSignalSource(int signo, std::function<void()> handler) override {
    if (signo <= 0) return std::make_unique<MacSource>(nullptr);
    return makeSource(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), std::move(handler));
  }

  std::unique_ptr<Source> makeReadSource(int fd, std::function<void()> handler) override {
    if (fd < 0) return std::make_unique<MacSource>(nullptr);
    return makeSource(DISPATCH_SOURCE_TYPE_READ, static_cast<uintptr_t>(fd), std::move(handler));
  }

  std::vector<std::unique_ptr<Source>> makeStopSources(std::function<void()> handler) override {
    return ::audiotap::platform::posix::makeStopSources(*this, std::move(handler));
  }

  std::unique_ptr<Source> makeInputEndSource(std::function<void()> handler) override {
    return ::audiotap::platform::posix::makeInputEndSource(*this, std::move(handler));
  }

  void ignoreBrokenPipe() override { signal(SIGPIPE, SIG_IGN); }

  void asyncAfterOnMain(std::chrono::nanoseconds delay, std::function<void()> task) override {
    // A moment the uptime clock cannot represent never comes.
    const std::optional<std::int64_t> delta = dispatchDelta(delay);
    if (!delta) return;
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, *delta), dispatch_get_main_queue(), ^{
      task();
    });
  }

  void asyncOnMain(std::function<void()> task) override {
    dispatch_async(dispatch_get_main_queue(), ^{
      task();
    });
  }

  [[noreturn]] void runMain() override { dispatch_main(); }
};

}  // namespace

std::unique_ptr<Dispatch> makeDispatch() { return std::make_unique<MacDispatch>(); }

}  // namespace audiotap::platform::macos
