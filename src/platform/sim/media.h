// The converter side of the simulator: the real soft converter, with the
// scripted construction failures and conversion outcomes laid over it.
#pragma once

#include <memory>

#include "platform/media.h"
#include "platform/sim/script.h"
#include "platform/sim/trace.h"

namespace audiotap::platform::sim {

std::unique_ptr<platform::Media> makeSimMedia(std::unique_ptr<platform::Media> inner, const Script& script,
                                              const Trace& trace);

}  // namespace audiotap::platform::sim
