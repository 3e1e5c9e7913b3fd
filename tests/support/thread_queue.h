// A serial queue of the tests' own, on a thread of its own as the platform's
// IO queue is, so that a capture source is checked without the dispatch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/dispatch.h"

namespace audiotap::testing {

class ThreadQueue final : public platform::Queue {
 public:
  ThreadQueue() : thread_([this] { serve(); }) {}
  ~ThreadQueue() override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void async(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }
  bool drain(std::chrono::milliseconds limit) override {
    // A task cannot wait for itself.
    if (std::this_thread::get_id() == id()) return false;
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_ + tasks_.size();
    return idle_.wait_for(lock, limit, [&] { return finished_ >= target; });
  }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return done_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      ++posted_;
      lock.unlock();
      task();
      lock.lock();
      ++finished_;
      idle_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  std::uint64_t posted_ = 0, finished_ = 0;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace audiotap::testing
