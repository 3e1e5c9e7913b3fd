// The command line: `--seconds N` and `--rate N`, anything else ignored.
#pragma once

#include <string_view>

namespace audiotap::driver {

// The C-locale strtod grammar over the whole text; leading white space, an
// empty text or anything left over does not parse.
bool parseNumber(std::string_view text, double& value);

// Each occurrence assigns anew; a value that does not parse, or an option
// that stands last with no value, sets the fallback (0 seconds, 16000 Hz).
void scanCommandLine(int argc, const char* const* argv, double& seconds, double& targetRate);

}  // namespace audiotap::driver
