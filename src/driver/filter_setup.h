// Start-up of the process filter (--include-pid, --exclude-pid). Nothing
// happens when neither option was given.
#pragma once

#include "driver/state.h"

namespace audiotap::driver {

// Checks the PID options before anything is built (a refused value ends
// start-up with its "error" and exit status 1), then makes the filter and has
// the graph describe its tap by it.
void setUpProcessFilter(State& s);

// "include" and "exclude" for "ready", each only when its option was used.
void addFilterFields(const State& s, platform::Dictionary& ready);

}  // namespace audiotap::driver
