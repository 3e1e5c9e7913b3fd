// Start-up of the process filter (--include-pid, --exclude-pid). Nothing
// happens when neither option was given.
#pragma once

#include "driver/state.h"

namespace audiotap::driver {

// Checks the PID options before anything is built (a refused value ends
// start-up with its "error" and exit status 1), then makes the process trees
// the capture source is asked to keep to.
void setUpProcessFilter(State& s);

}  // namespace audiotap::driver
