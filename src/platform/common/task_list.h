// A task list with many posters and one taker that can sleep until a post.
// Posting takes no lock: the IO path may post. How the taker sleeps and is
// woken is the platform's.
#pragma once

#include <atomic>
#include <functional>

namespace audiotap::platform::common {

class TaskList {
 public:
  TaskList();
  ~TaskList();
  TaskList(const TaskList&) = delete;
  TaskList& operator=(const TaskList&) = delete;

  // Any thread. True when the taker sleeps and must be woken.
  [[nodiscard]] bool post(std::function<void()> task);

  // The taker only. An empty function when nothing is ready.
  std::function<void()> take();
  bool pending() const;
  // Before sleeping. False when a task came in meanwhile: then it must not
  // sleep, and need not call awake().
  bool prepareToSleep();
  void awake();

 private:
  struct Node {
    std::function<void()> task;
    std::atomic<Node*> next{nullptr};
  };

  std::atomic<Node*> head_;  // the node posted last
  Node* tail_;               // a taken node whose next is the oldest pending one
  std::atomic<bool> asleep_{false};
};

}  // namespace audiotap::platform::common
