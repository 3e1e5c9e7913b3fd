// The private aggregate device that wraps the tap.
#pragma once

#include <cstdint>
#include <string>

#include "capture/graph.h"
#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kAggregateFailed = "AudioHardwareCreateAggregateDevice failed";

// The eight-entry description: no sub-devices, the one tap, and the default
// output device as main sub-device. With an input device, the sub-devices
// are the output device (the clock) and the input device, drift compensated
// to it; one entry when they are the same device.
platform::Dictionary aggregateDescriptionFor(const std::string& aggregateUID, const std::string& outputDeviceUID,
                                             const std::string& tapUUID, const std::string& inputDeviceUID = {});

// Creates the device around graph's tap, on graph's output device, with
// graph's input device when it has one.
[[nodiscard]] Result createAggregateDevice(platform::Hal& hal, const std::string& aggregateUID, Graph& graph);

// Where the tap's stream lies in the buffer lists the aggregate device
// delivers: its input streams ('stm#' in the input scope) are the
// sub-devices' first (a headset's microphone), the tap's last. A platform
// that does not answer delivers the tap's stream alone: 0.
std::uint32_t findTapStream(platform::Hal& hal, platform::AudioObjectID aggregateID);

}  // namespace audiotap::capture
