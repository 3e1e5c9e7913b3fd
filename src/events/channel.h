// The event channel: one JSON object per line on standard error.
#pragma once

#include <optional>
#include <string>

#include "platform/output.h"
#include "platform/types.h"
#include "platform/value.h"

namespace audiotap::events {

// Set once, before the first event; never changed afterwards.
void setStandardError(platform::OutputHandle* handle);

// The whole line: {"type": type} merged with the payload (a payload key
// replaces an earlier one of the same name), then a line feed.
std::string eventLine(const std::string& type, const platform::Dictionary& payload);

// Writes one event line. Safe from any thread: the line goes out in one
// write, so lines from two threads never interleave.
void emit(const std::string& type, const platform::Dictionary& payload);

// Emits "error" with the message, and "status" and "code" when a status is
// given.
void emitError(const std::string& message, std::optional<platform::OSStatus> status = std::nullopt);

// emitError, then exits with status 1.
[[noreturn]] void fail(const std::string& message, std::optional<platform::OSStatus> status = std::nullopt);

// The status as four characters, most significant byte first, when all four
// are printable ASCII; otherwise its signed decimal text.
std::string fourCC(platform::OSStatus status);

}  // namespace audiotap::events
