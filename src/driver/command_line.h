// The command line: `--seconds N`, `--rate N`, `--follow-output`,
// `--include-pid PID`, `--exclude-pid PID`, `--mic` and `--no-echo-cancel`;
// anything else is ignored.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace audiotap::driver {

struct Options {
  double seconds = 0;
  double targetRate = 16000;
  bool followOutput = false;
  // The microphone beside the system audio; --no-echo-cancel means nothing
  // without it.
  bool microphone = false;
  bool echoCancel = true;
  // The values of --include-pid and --exclude-pid as given, in order; an
  // option that stands last contributes an empty text. Checked at start-up.
  std::vector<std::string> includePids;
  std::vector<std::string> excludePids;
};

// The C-locale strtod grammar over the whole text; leading white space, an
// empty text or anything left over does not parse.
bool parseNumber(std::string_view text, double& value);

// Each occurrence of --seconds or --rate assigns anew; a value that does not
// parse, or an option that stands last with no value, sets the fallback
// (0 seconds, 16000 Hz). The PID options accumulate.
void scanCommandLine(int argc, const char* const* argv, Options& options);

}  // namespace audiotap::driver
