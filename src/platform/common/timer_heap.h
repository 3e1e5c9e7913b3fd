// A main loop's timers: due in deadline order, and those with one deadline in
// the order they were added. One thread's alone.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

namespace audiotap::platform::common {

template <class Deadline>
class TimerHeap {
 public:
  void add(Deadline deadline, std::function<void()> task) {
    timers_.push(Timer{deadline, nextOrder_++, std::move(task)});
  }

  // A task may add timers; those due already run in this call too.
  void runDue(Deadline now) {
    while (!timers_.empty() && timers_.top().deadline <= now) {
      // top() is const; the task leaves the heap before it runs.
      std::function<void()> task = std::move(const_cast<Timer&>(timers_.top()).task);
      timers_.pop();
      task();
    }
  }

  bool empty() const { return timers_.empty(); }
  // Not when empty().
  Deadline nextDeadline() const { return timers_.top().deadline; }

 private:
  struct Timer {
    Deadline deadline;
    std::uint64_t order;
    std::function<void()> task;
    bool operator>(const Timer& other) const {
      return deadline != other.deadline ? deadline > other.deadline : order > other.order;
    }
  };

  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace audiotap::platform::common
