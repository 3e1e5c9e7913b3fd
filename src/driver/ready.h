// The fields of "ready", from the state start-up has built.
#pragma once

#include "driver/state.h"

namespace audiotap::driver {

platform::Dictionary readyFields(const State& s);

}  // namespace audiotap::driver
