#include "platform/sim/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace audiotap::platform::sim {

Trace::~Trace() {
  if (fd_ >= 0) ::close(fd_);
}

bool Trace::open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

void Trace::line(std::string_view text) const {
  if (fd_ < 0) return;
  std::string buffer(text);
  buffer.push_back('\n');
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= std::size_t(written);
  }
}

std::string fourCharText(std::uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text.push_back(char((code >> shift) & 0xFF));
  return text;
}

}  // namespace audiotap::platform::sim
