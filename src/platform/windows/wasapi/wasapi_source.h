// The capture on Windows: WASAPI shared-mode loopback of the default render
// endpoint (console role), or process loopback for the process filter.
#pragma once

#include <memory>

#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/processes.h"

namespace audiotap::platform::windows {

// `dispatch` carries work to the main queue; `processes` is the machine's
// process table, for the filter's trees.
std::unique_ptr<CaptureSource> makeWasapiSource(Dispatch& dispatch, ProcessTable& processes);

}  // namespace audiotap::platform::windows
