// The private aggregate device that wraps the tap.
#pragma once

#include <string>

#include "capture/graph.h"
#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kAggregateFailed = "AudioHardwareCreateAggregateDevice failed";

// The eight-entry description: no sub-devices, the one tap, and the default
// output device as main sub-device.
platform::Dictionary aggregateDescriptionFor(const std::string& aggregateUID, const std::string& outputDeviceUID,
                                             const std::string& tapUUID);

// Creates the device around graph's tap, on graph's output device.
[[nodiscard]] Result createAggregateDevice(platform::Hal& hal, const std::string& aggregateUID, Graph& graph);

}  // namespace audiotap::capture
