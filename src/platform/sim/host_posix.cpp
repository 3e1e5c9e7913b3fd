#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fd_output.h"
#include "platform/posix/posix_dispatch.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"
#include "platform/sim/host.h"

namespace audiotap::platform::sim::host {

void ensureStandardStreams() { posix::ensureStandardDescriptors(); }

std::unique_ptr<platform::Dispatch> makeDispatch() { return posix::makePosixDispatch(); }
std::unique_ptr<platform::OutputHandle> makeStandardOutput() { return posix::makeFdOutputHandle(STDOUT_FILENO); }
std::unique_ptr<platform::OutputHandle> makeStandardError() { return posix::makeFdOutputHandle(STDERR_FILENO); }
std::string randomUUIDString() { return posix::randomUUIDString(); }

std::int64_t monotonicNanoseconds() { return posix::monotonicNanoseconds(); }

void sleepUntil(std::int64_t deadline) {
  const timespec wake{time_t(deadline / 1'000'000'000), long(deadline % 1'000'000'000)};
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
}

void writeStandardError(std::string_view bytes) {
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
}

std::intptr_t openAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool appendAll(std::intptr_t file, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = ::write(int(file), data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= std::size_t(written);
  }
  return true;
}

void closeFile(std::intptr_t file) { ::close(int(file)); }

}  // namespace audiotap::platform::sim::host
