#include "platform/posix/fd_output.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace audiotap::platform::posix {
namespace {

class FdOutputHandle final : public platform::OutputHandle {
 public:
  explicit FdOutputHandle(int fd) : fd_(fd) {}

  // No lock: a pipe write of up to PIPE_BUF bytes is atomic, so concurrent
  // callers each get their bytes in one piece by issuing one write() each.
  bool writeAll(const void* data, std::size_t size) override {
    if (failed_.load(std::memory_order_relaxed)) return false;
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t written = ::write(fd_, next, size);
      if (written > 0) {
        next += written;
        size -= std::size_t(written);
        continue;
      }
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitUntilWritable()) continue;
      failed_.store(true, std::memory_order_relaxed);
      return false;
    }
    return true;
  }

  // EINVAL from a pipe or a terminal is the usual answer and means nothing.
  void synchronize() override { ::fsync(fd_); }

 private:
  // True when a write is worth trying again; a hang-up or an error is left
  // for that write to report.
  bool waitUntilWritable() const {
    pollfd wanted{fd_, POLLOUT, 0};
    for (;;) {
      const int ready = ::poll(&wanted, 1, -1);
      if (ready > 0) return (wanted.revents & POLLNVAL) == 0;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  const int fd_;
  std::atomic<bool> failed_{false};
};

}  // namespace

std::unique_ptr<platform::OutputHandle> makeFdOutputHandle(int fd) {
  return std::make_unique<FdOutputHandle>(fd);
}

}  // namespace audiotap::platform::posix
