// The capture graph (default output device, process tap, private aggregate
// device, IO block registration) and the named steps that build and tear it
// down. A step never ends the process: it returns what failed, and the driver
// decides. The steps can run again on a torn-down graph to rebuild it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/source.h"
#include "platform/hal.h"

namespace audiotap::capture {

// The objects made so far; zero or null where not (yet) made.
struct Graph {
  platform::AudioObjectID outputDevice = 0;
  std::string outputDeviceUID;
  // Set by the source: the default input device joins the aggregate device.
  bool microphone = false;
  platform::AudioObjectID inputDevice = 0;
  std::string inputDeviceUID;
  // The input device's input streams, and the format of its first.
  std::uint32_t inputStreams = 0;
  platform::StreamDescription inputFormat{};
  std::unique_ptr<platform::TapDescription> tapDescription;
  platform::AudioObjectID tapID = 0;
  platform::AudioObjectID aggregateID = 0;
  // The index of the tap's first buffer in the lists the device delivers.
  std::uint32_t tapStream = 0;
  // The index of the microphone's buffer, its first stream's, in those lists.
  std::uint32_t microphoneStream = 0;
  platform::IOProcID procID = nullptr;
  std::vector<platform::ListenerID> listeners;
  // Set by the process filter: makes the tap's description in place of the
  // system-wide one, each time the graph is built.
  std::function<std::optional<Failure>(platform::Hal&, std::unique_ptr<platform::TapDescription>&)> describeTap;
};

// The default output device, its UID, with graph.microphone the default
// input device, then the tap and the aggregate device around them, in that
// order, and where the tap's stream (and the microphone's) lies in the
// device's buffer lists.
// `makeUUID` names the tap and the aggregate device.
[[nodiscard]] Result buildGraph(platform::Hal& hal, const std::function<std::string()>& makeUUID, Graph& graph);

// Registers `block` on the aggregate device, to run on `ioQueue`.
[[nodiscard]] Result createIOProc(platform::Hal& hal, platform::Queue& ioQueue, platform::IOBlock block, Graph& graph);
[[nodiscard]] Result startDevice(platform::Hal& hal, Graph& graph);

// The one teardown, in the only safe order: listeners, device stop, IO block
// registration, then (once no IO block call is still running on `ioQueue`,
// waited for until `deadline`) the aggregate device and the tap. Undoes only
// what was made, so it fits a graph built in part; afterwards the graph is
// empty and may be built again.
void tearDown(platform::Hal& hal, Graph& graph, platform::Queue* ioQueue,
              std::chrono::steady_clock::time_point deadline);

}  // namespace audiotap::capture
