// The capture source the core speaks to, and what a failed step of it
// reports.
#pragma once

#include <memory>

#include "platform/capture_source.h"
#include "platform/platform.h"

namespace audiotap::capture {

// The "error" message, and the platform status when a platform call failed.
using Failure = platform::SourceFailure;

// Empty when the step succeeded.
using Result = platform::SourceResult;

// The platform's own capture source, or else Core Audio's on its HAL.
std::unique_ptr<platform::CaptureSource> makeSource(platform::Platform& platform);

}  // namespace audiotap::capture
