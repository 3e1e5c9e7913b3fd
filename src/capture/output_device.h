// The default output device and the process tap.
#pragma once

#include <optional>
#include <string>

#include "capture/graph.h"
#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kNoDefaultOutputDevice = "no default output device";
inline constexpr const char* kTapFailed =
    "AudioHardwareCreateProcessTap failed \xE2\x80\x94 this usually means audio-capture permission has not been "
    "granted to the host app.";

// The device's UID, releasing the string reference the read hands back
// exactly once on every path.
std::optional<std::string> deviceUID(platform::Hal& hal, platform::AudioObjectID device);

// Sets graph.outputDevice and graph.outputDeviceUID, or fails with
// "no default output device".
[[nodiscard]] Result findDefaultOutputDevice(platform::Hal& hal, Graph& graph);

inline constexpr const char* kTapName = "Orvane system audio";
inline constexpr const char* kFormatUnreadable = "could not read the tap's stream format";

// The private, unmuted mono tap: system-wide, or as graph.describeTap makes it.
[[nodiscard]] Result createProcessTap(platform::Hal& hal, const std::string& uuid, Graph& graph);

// The tap's stream format ('tfmt').
[[nodiscard]] Result readTapFormat(platform::Hal& hal, platform::AudioObjectID tapID,
                                   platform::StreamDescription& format);

}  // namespace audiotap::capture
