// Start-up steps of the process filter (--include-pid, --exclude-pid). Each
// does nothing when neither option was given.
#pragma once

#include <memory>

#include "driver/state.h"

namespace audiotap::driver {

// Checks the PID options before anything is built; a refused value ends
// start-up with its "error" and exit status 1.
void checkProcessOptions(State& s);

// The filtered tap description (null when unfiltered): the trees as they are
// now, mapped onto the audio clients. Ends start-up when the clients cannot
// be listed.
std::unique_ptr<platform::TapDescription> filteredTapDescription(State& s);

// After the device has started: keeps the tap's description up to date.
void startFilterUpdates(State& s);

// "include" and "exclude" for "ready", each only when its option was used.
void addFilterFields(const State& s, platform::Dictionary& ready);

}  // namespace audiotap::driver
