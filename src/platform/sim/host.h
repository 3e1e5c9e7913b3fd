// What the simulator takes from the system it runs on. The build picks one
// source file per system: host_posix.cpp or host_windows.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/output.h"

namespace audiotap::platform::sim::host {

// Gives the process a standard input, output and error where it was started
// without one. Call it before anything else opens a file.
void ensureStandardStreams();

std::unique_ptr<platform::Dispatch> makeDispatch();
std::unique_ptr<platform::OutputHandle> makeStandardOutput();
std::unique_ptr<platform::OutputHandle> makeStandardError();
std::string randomUUIDString();

// The clock of the dispatch's deadlines, in nanoseconds.
std::int64_t monotonicNanoseconds();
// Sleeps until `deadline` on that clock, or a little past it.
void sleepUntil(std::int64_t deadline);

// Writes `bytes` to standard error as far as it can, past any output handle.
void writeStandardError(std::string_view bytes);

// A file opened for appending: each write lands whole at its end. -1 when it
// cannot be opened.
std::intptr_t openAppend(const std::string& path);
// False when a write fails; what was written stays.
bool appendAll(std::intptr_t file, std::string_view bytes);
void closeFile(std::intptr_t file);

}  // namespace audiotap::platform::sim::host
