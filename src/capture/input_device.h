// The default input device: the microphone that joins the aggregate device
// beside the tap.
#pragma once

#include "capture/graph.h"
#include "platform/hal.h"

namespace audiotap::capture {

// Sets graph.inputDevice, its UID, its input streams and the format of the
// first, or fails with kNoMicrophone: no default input device, or one that
// cannot be read or has no input stream.
[[nodiscard]] Result findDefaultInputDevice(platform::Hal& hal, Graph& graph);

// Where the microphone's first stream lies in the aggregate device's lists:
// the input device's streams come just before the tap's. Fails with
// kNoMicrophone when the aggregate device lists too few streams to hold them.
[[nodiscard]] Result findMicrophoneStream(Graph& graph);

// What the IO block receives of the microphone: its first stream as the
// aggregate device delivers it (the virtual format of that stream, else the
// input device's own), in 32-bit float at the aggregate's rate, which is the
// tap's, `rate`.
platform::StreamDescription readMicrophoneFormat(platform::Hal& hal, const Graph& graph, double rate);

// The one interleaved 32-bit float buffer of `channels` channels at `rate`.
platform::StreamDescription microphoneFormatFor(std::uint32_t channels, double rate);

}  // namespace audiotap::capture
