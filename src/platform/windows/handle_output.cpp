#include "platform/windows/handle_output.h"

#include <atomic>
#include <cerrno>

namespace audiotap::platform::windows {
namespace {

// The errno a POSIX write would have failed with, so that the failure reads
// the same on every platform.
int posixError(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:             // the reader closed its end
    case ERROR_PIPE_NOT_CONNECTED:  // a named pipe's server disconnected; wine's word for a POSIX EPIPE
      return EPIPE;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    default:
      return EIO;
  }
}

class HandleOutput final : public platform::OutputHandle {
 public:
  explicit HandleOutput(HANDLE handle) : handle_(handle) {}

  // No lock: a pipe queues each WriteFile whole, so concurrent callers' bytes
  // do not interleave.
  bool writeAll(const void* data, std::size_t size) override {
    if (const int failed = failed_.load(std::memory_order_relaxed)) {
      errno = failed;
      return false;
    }
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = size > 0x40000000 ? 0x40000000 : DWORD(size);
      DWORD written = 0;
      if (!::WriteFile(handle_, next, chunk, &written, nullptr)) {
        const int error = posixError(::GetLastError());
        failed_.store(error, std::memory_order_relaxed);
        errno = error;
        return false;
      }
      next += written;
      size -= written;
    }
    return true;
  }

  // Only a file on disk: on a pipe FlushFileBuffers waits until the reader
  // has read everything, which a host that stopped reading never does.
  void synchronize() override {
    if (::GetFileType(handle_) == FILE_TYPE_DISK) ::FlushFileBuffers(handle_);
  }

 private:
  const HANDLE handle_;
  std::atomic<int> failed_{0};  // the errno of the first failure
};

bool usable(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  // A handle value the process does not hold reads as unknown, with an error.
  return ::GetFileType(handle) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
}

}  // namespace

std::unique_ptr<platform::OutputHandle> makeHandleOutput(HANDLE handle) {
  return std::make_unique<HandleOutput>(handle);
}

void ensureStandardHandles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (usable(::GetStdHandle(which))) continue;
    // Inheritable, as the handles a child of ours would get from a parent.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE null = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      &inherit, OPEN_EXISTING, 0, nullptr);
    if (null != INVALID_HANDLE_VALUE) ::SetStdHandle(which, null);
  }
}

}  // namespace audiotap::platform::windows
