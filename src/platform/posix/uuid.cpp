#include "platform/posix/uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

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
  bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40);
  bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace audiotap::platform::posix
