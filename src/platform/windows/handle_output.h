// Standard output and error over Win32 handles.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/output.h"

namespace audiotap::platform::windows {

// An output handle on a handle it does not own (it never closes it). Bytes go
// out as they are, with WriteFile: no text-mode translation of "\n". The
// first failed write is final: later calls return false without writing, and
// each failure leaves errno as a POSIX write would have (EPIPE for a reader
// that is gone, ENOSPC for a full disk).
std::unique_ptr<platform::OutputHandle> makeHandleOutput(HANDLE handle);

// Opens NUL for each standard handle the process was started without, so
// that reads see end of file and writes go nowhere rather than fail. Call it
// before anything else reads the standard handles.
void ensureStandardHandles();

}  // namespace audiotap::platform::windows
