#include "platform/sim/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <type_traits>

namespace audiotap::sim {

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

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (std::uint8_t(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(std::uint8_t(c)));
          out += escaped;
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

namespace {

template <class T>
std::string numberText(T number) {
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(number)) return "null";
  }
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, number);
  return std::string(text, result.ptr);
}

}  // namespace

std::string toJson(const platform::Value& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return jsonString(v);
        } else if constexpr (std::is_same_v<T, platform::Array>) {
          std::string out = "[";
          for (std::size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + toJson(v[i]);
          return out + "]";
        } else if constexpr (std::is_same_v<T, platform::Dictionary>) {
          std::string out = "{";
          for (std::size_t i = 0; i < v.size(); ++i) {
            out += (i ? "," : "") + jsonString(v[i].first) + ":" + toJson(v[i].second);
          }
          return out + "}";
        } else {
          return numberText(v);
        }
      },
      value.data);
}

}  // namespace audiotap::sim
