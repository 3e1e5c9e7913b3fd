// The default output device and the process tap.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kNoDefaultOutputDevice = "no default output device";
inline constexpr const char* kTapFailed =
    "AudioHardwareCreateProcessTap failed \xE2\x80\x94 this usually means audio-capture permission has not been "
    "granted to the host app.";

// The device's UID, releasing the string reference the read hands back
// exactly once on every path.
std::optional<std::string> deviceUID(platform::Hal& hal, platform::AudioObjectID device);

// Stores the default output device (0 when there is none) and returns its
// UID; otherwise emits "no default output device" and exits with status 1.
std::string findDefaultOutputDevice(platform::Hal& hal, platform::AudioObjectID& outputDevice);

inline constexpr const char* kTapName = "Orvane system audio";

// The private, unmuted mono tap: system-wide, or as `preset` describes (the
// process filter's); exits with status 1 when it cannot be created.
void createProcessTap(platform::Hal& hal, const std::string& uuid,
                      std::unique_ptr<platform::TapDescription>& tapDescription, platform::AudioObjectID& tapID,
                      platform::OSStatus& tapStatus, std::unique_ptr<platform::TapDescription> preset = nullptr);

}  // namespace audiotap::capture
