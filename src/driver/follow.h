// --follow-output: the capture moves to the system's default output device
// whenever that changes (with --mic, the default input device too), and to
// the new default when the captured device dies or the audio system
// restarts. Each move closes the capture source and opens it again, fills
// the time it took with silence of the measured length, and writes a
// "device" event. All of it runs on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "capture/source.h"

namespace audiotap::driver {

// The default output device may have changed: moves when it is another
// device than the one captured.
void defaultDeviceChanged();

// With --mic, the default input device may have changed: moves when it is a
// microphone other than the one captured, or the captured one was lost.
void defaultInputChanged();

// Opens the capture source on the default output device, with the microphone
// when --mic asks for it and `microphone` allows. Its reports reach the main
// queue with this build's generation: a loss or a restart of the audio system
// goes to captureLost, a change of the default output to
// defaultDeviceChanged and of the default input to defaultInputChanged, a
// change of format to formatChanged, and each notice or lost microphone
// becomes one "error"; a report of an earlier build is dropped.
[[nodiscard]] capture::Result openSource(bool microphone = true);

// The capture opened for this generation is gone (device lost, audio system
// restarted): without the option the capture ends with one "error" holding
// `message`; with it the capture moves, and the time since `silentSince`
// (now when not given) becomes silence. A report about a capture that has
// since been replaced is dropped.
void captureLost(std::uint64_t generation, const std::string& message,
                 std::optional<std::chrono::steady_clock::time_point> silentSince = std::nullopt);

// The generation of the capture; it changes with each move.
std::uint64_t captureGeneration();

// Whether the source is closed and being opened again.
bool moving();

}  // namespace audiotap::driver
