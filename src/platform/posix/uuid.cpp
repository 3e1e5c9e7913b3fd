#include "platform/posix/uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/common/uuid.h"

namespace audiotap::platform::posix {
namespace {

bool fromKernel(std::uint8_t (&bytes)[16]) {
  ssize_t got;
  do {
    got = ::getrandom(bytes, sizeof bytes, 0);
  } while (got < 0 && errno == EINTR);
  return got == ssize_t(sizeof bytes);
}

// Kernels before getrandom() (or a seccomp filter that refuses it).
bool fromDevice(std::uint8_t (&bytes)[16]) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::read(fd, bytes + filled, sizeof bytes - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += std::size_t(got);
  }
  ::close(fd);
  return filled == sizeof bytes;
}

}  // namespace

std::string randomUUIDString() {
  std::uint8_t bytes[16];
  // Two devices sharing one UID would break the aggregate device; a UUID
  // from anything weaker than the kernel's generator is not worth having.
  if (!fromKernel(bytes) && !fromDevice(bytes)) std::abort();
  return common::uuidFromRandomBytes(bytes);
}

}  // namespace audiotap::platform::posix
