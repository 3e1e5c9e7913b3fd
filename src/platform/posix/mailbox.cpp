#include "platform/posix/mailbox.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace audiotap::platform::posix {

void openPipe(int (&ends)[2]) {
  // pipe2() would do this in one call, but macOS lacks it.
  if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  for (const int fd : ends) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

Mailbox::Mailbox() { openPipe(wakeEnds_); }

Mailbox::~Mailbox() {
  ::close(wakeEnds_[0]);
  ::close(wakeEnds_[1]);
}

void Mailbox::post(std::function<void()> task) {
  if (tasks_.post(std::move(task))) {
    const char byte = 0;
    // A full pipe already holds a wake-up, so EAGAIN loses nothing.
    [[maybe_unused]] const auto written = ::write(wakeEnds_[1], &byte, 1);
  }
}

void Mailbox::awake(bool wakeFdReadable) {
  tasks_.awake();
  if (!wakeFdReadable) return;
  char bytes[64];
  while (::read(wakeEnds_[0], bytes, sizeof bytes) > 0) {
  }
}

void Mailbox::waitForPost() {
  pollfd wake{wakeEnds_[0], POLLIN, 0};
  if (prepareToSleep()) ::poll(&wake, 1, -1);
  awake(wake.revents != 0);
}

}  // namespace audiotap::platform::posix
