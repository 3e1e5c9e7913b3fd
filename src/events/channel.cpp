#include "events/channel.h"

#include <cstdint>
#include <cstdlib>

#include "events/json.h"

namespace audiotap::events {
namespace {
platform::OutputHandle* standardError = nullptr;
}

void setStandardError(platform::OutputHandle* handle) { standardError = handle; }

std::string eventLine(const std::string& type, const platform::Dictionary& payload) {
  platform::Dictionary object{{"type", type}};
  for (const auto& [key, value] : payload) {
    bool replaced = false;
    for (auto& entry : object) {
      if (entry.first == key) {
        entry.second = value;
        replaced = true;
      }
    }
    if (!replaced) object.emplace_back(key, value);
  }
  std::string line = toJson(platform::Value(std::move(object)));
  line += '\n';
  return line;
}

void emit(const std::string& type, const platform::Dictionary& payload) {
  if (standardError == nullptr) return;
  const std::string line = eventLine(type, payload);
  standardError->writeAll(line.data(), line.size());
}

void emitError(const std::string& message, std::optional<platform::OSStatus> status) {
  // Built whole: growing it by emplace_back draws a false -Wstringop-overflow
  // from GCC 12 at -O3.
  emit("error", status ? platform::Dictionary{{"message", message},
                                              {"status", std::int64_t(*status)},
                                              {"code", fourCC(*status)}}
                       : platform::Dictionary{{"message", message}});
}

void fail(const std::string& message, std::optional<platform::OSStatus> status) {
  emitError(message, status);
  std::exit(1);
}

std::string fourCC(platform::OSStatus status) {
  const auto bits = static_cast<std::uint32_t>(status);
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<unsigned char>(bits >> shift);
    if (byte < 0x20 || byte > 0x7E) return std::to_string(status);
    text += static_cast<char>(byte);
  }
  return text;
}

}  // namespace audiotap::events
