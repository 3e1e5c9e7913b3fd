// A task list with many posters and one taker, and a pipe that wakes the
// taker when it sleeps in poll(). Posting takes no lock: the IO path may post.
#pragma once

#include <atomic>
#include <functional>

namespace audiotap::platform::posix {

// Both ends non-blocking and close-on-exec. Throws std::system_error.
void openPipe(int (&ends)[2]);

class Mailbox {
 public:
  Mailbox();
  ~Mailbox();
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  // Any thread.
  void post(std::function<void()> task);

  // The taker only. An empty function when nothing is ready.
  std::function<void()> take();
  bool pending() const;
  // Call before poll() on wakeFd() with a timeout. False when a task came in
  // meanwhile: then poll() must not block.
  bool prepareToSleep();
  // Call after poll() returned, whatever it reported.
  void awake(bool wakeFdReadable);
  int wakeFd() const { return wakeEnds_[0]; }

 private:
  struct Node {
    std::function<void()> task;
    std::atomic<Node*> next{nullptr};
  };

  std::atomic<Node*> head_;  // the node posted last
  Node* tail_;               // a taken node whose next is the oldest pending one
  std::atomic<bool> asleep_{false};
  int wakeEnds_[2];
};

}  // namespace audiotap::platform::posix
