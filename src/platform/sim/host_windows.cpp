#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/sim/host.h"
#include "platform/windows/handle_output.h"
#include "platform/windows/uuid.h"
#include "platform/windows/windows_dispatch.h"

namespace audiotap::platform::sim::host {

void ensureStandardStreams() { windows::ensureStandardHandles(); }

std::unique_ptr<platform::Dispatch> makeDispatch() { return windows::makeWindowsDispatch(); }
std::unique_ptr<platform::OutputHandle> makeStandardOutput() {
  return windows::makeHandleOutput(::GetStdHandle(STD_OUTPUT_HANDLE));
}
std::unique_ptr<platform::OutputHandle> makeStandardError() {
  return windows::makeHandleOutput(::GetStdHandle(STD_ERROR_HANDLE));
}
std::string randomUUIDString() { return windows::randomUUIDString(); }

// The Windows dispatch keeps its deadlines on the steady clock.
std::int64_t monotonicNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleepUntil(std::int64_t deadline) {
  std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::nanoseconds(deadline))));
}

void writeStandardError(std::string_view bytes) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

std::intptr_t openAppend(const std::string& path) {
  // FILE_APPEND_DATA alone: every write goes to the end, as O_APPEND's do.
  const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<std::intptr_t>(file);
}

bool appendAll(std::intptr_t file, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD written = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(file), data, DWORD(left), &written, nullptr) || written == 0) return false;
    data += written;
    left -= written;
  }
  return true;
}

void closeFile(std::intptr_t file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

}  // namespace audiotap::platform::sim::host
