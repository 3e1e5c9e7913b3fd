#include "platform/posix/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace audiotap::platform::posix {

void ensureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is fd: the ones below are open by now.
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened < 0) return;
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace audiotap::platform::posix
