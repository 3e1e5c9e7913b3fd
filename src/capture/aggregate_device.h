// The private aggregate device that wraps the tap.
#pragma once

#include <string>

#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kAggregateFailed = "AudioHardwareCreateAggregateDevice failed";

// The eight-entry description: no sub-devices, the one tap, and the default
// output device as main sub-device.
platform::Dictionary aggregateDescriptionFor(const std::string& aggregateUID, const std::string& outputDeviceUID,
                                             const std::string& tapUUID);

// Creates the device; on failure destroys the tap, then fails with status.
void createAggregateDevice(platform::Hal& hal, const platform::Dictionary& description,
                           platform::AudioObjectID tapID, platform::AudioObjectID& aggregateID,
                           platform::OSStatus& aggregateStatus);

}  // namespace audiotap::capture
