// A task list with a pipe that wakes the taker when it sleeps in poll().
#pragma once

#include <functional>

#include "platform/common/task_list.h"

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
  std::function<void()> take() { return tasks_.take(); }
  bool pending() const { return tasks_.pending(); }
  // Call before poll() on wakeFd() with a timeout. False when a task came in
  // meanwhile: then poll() must not block.
  bool prepareToSleep() { return tasks_.prepareToSleep(); }
  // Call after poll() returned, whatever it reported.
  void awake(bool wakeFdReadable);
  int wakeFd() const { return wakeEnds_[0]; }
  // Sleeps until a post, unless a task came in.
  void waitForPost();

 private:
  common::TaskList tasks_;
  int wakeEnds_[2];
};

}  // namespace audiotap::platform::posix
