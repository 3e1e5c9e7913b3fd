// A serial queue on a thread of its own, over a platform's mailbox: one that
// has post(task), take() and waitForPost().
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch.h"

namespace audiotap::platform::common {

template <class Mailbox>
class SerialQueue final : public platform::Queue {
 public:
  // onThread runs first on the queue's thread.
  explicit SerialQueue(std::function<void()> onThread = {}) : core_(std::make_shared<Core>()) {
    thread_ = std::thread([core = core_, onThread = std::move(onThread)] {
      if (onThread) onThread();
      serve(*core);
    });
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
      core.mailbox.waitForPost();
    }
  }

  std::shared_ptr<Core> core_;
  std::thread thread_;
};

}  // namespace audiotap::platform::common
