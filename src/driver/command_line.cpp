#include "driver/command_line.h"

#include <cstdlib>
#include <string>

namespace audiotap::driver {

bool parseNumber(std::string_view text, double& value) {
  if (text.empty()) return false;
  switch (text.front()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': return false;
    default: break;
  }
  // The process never calls setlocale, so strtod reads the C locale's point.
  const std::string copy(text);
  char* end = nullptr;
  const double parsed = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size()) return false;
  value = parsed;
  return true;
}

void scanCommandLine(int argc, const char* const* argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const bool hasValue = i + 1 < argc;
    if (argument == "--follow-output") {
      options.followOutput = true;
      continue;
    }
    if (argument == "--mic") {
      options.microphone = true;
      continue;
    }
    if (argument == "--no-echo-cancel") {
      options.echoCancel = false;
      continue;
    }
    if (argument == "--include-pid" || argument == "--exclude-pid") {
      auto& list = argument == "--include-pid" ? options.includePids : options.excludePids;
      list.emplace_back(hasValue ? argv[++i] : "");
      continue;
    }
    double* target = nullptr;
    double fallback = 0;
    if (argument == "--seconds") {
      target = &options.seconds;
      fallback = 0;
    } else if (argument == "--rate") {
      target = &options.targetRate;
      fallback = 16000;
    } else {
      continue;
    }
    if (!hasValue || !parseNumber(argv[++i], *target)) *target = fallback;
  }
}

}  // namespace audiotap::driver
