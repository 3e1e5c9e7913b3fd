#include "platform/sim/trace.h"

#include "platform/sim/host.h"

namespace audiotap::platform::sim {

Trace::~Trace() {
  if (file_ >= 0) host::closeFile(file_);
}

bool Trace::open(const std::string& path) {
  file_ = host::openAppend(path);
  return file_ >= 0;
}

void Trace::line(std::string_view text) const {
  if (file_ < 0) return;
  std::string buffer(text);
  buffer.push_back('\n');
  host::appendAll(file_, buffer);
}

std::string fourCharText(std::uint32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) text.push_back(char((code >> shift) & 0xFF));
  return text;
}

}  // namespace audiotap::platform::sim
