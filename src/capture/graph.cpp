#include "capture/graph.h"

#include <algorithm>

#include "capture/aggregate_device.h"
#include "capture/input_device.h"
#include "capture/output_device.h"

namespace audiotap::capture {

namespace {
constexpr const char* kIOProcFailed = "AudioDeviceCreateIOProcIDWithBlock failed";
constexpr const char* kStartFailed = "AudioDeviceStart failed";
}  // namespace

Result buildGraph(platform::Hal& hal, const std::function<std::string()>& makeUUID, Graph& graph) {
  if (Result failed = findDefaultOutputDevice(hal, graph)) return failed;
  if (graph.microphone) {
    if (Result failed = findDefaultInputDevice(hal, graph)) return failed;
  }
  if (Result failed = createProcessTap(hal, makeUUID(), graph)) return failed;
  if (Result failed = createAggregateDevice(hal, makeUUID(), graph)) return failed;
  graph.tapStream = findTapStream(hal, graph.aggregateID);
  if (graph.microphone) return findMicrophoneStream(graph);
  return std::nullopt;
}

Result createIOProc(platform::Hal& hal, platform::Queue& ioQueue, platform::IOBlock block, Graph& graph) {
  platform::IOProcID procID = nullptr;
  const platform::OSStatus status = hal.createIOProcIDWithBlock(&procID, graph.aggregateID, ioQueue, std::move(block));
  if (status != 0 || procID == nullptr) return Failure{kIOProcFailed, status};
  graph.procID = procID;
  return std::nullopt;
}

Result startDevice(platform::Hal& hal, Graph& graph) {
  const platform::OSStatus status = hal.deviceStart(graph.aggregateID, graph.procID);
  if (status != 0) return Failure{kStartFailed, status};
  return std::nullopt;
}

void tearDown(platform::Hal& hal, Graph& graph, platform::Queue* ioQueue,
              std::chrono::steady_clock::time_point deadline) {
  for (const platform::ListenerID listener : graph.listeners) hal.removePropertyListener(listener);
  graph.listeners.clear();
  if (graph.procID != nullptr) {
    hal.deviceStop(graph.aggregateID, graph.procID);
    hal.destroyIOProcID(graph.aggregateID, graph.procID);
    graph.procID = nullptr;
    // An IO block call may still be finishing; the aggregate device must
    // outlive it.
    if (ioQueue != nullptr) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ioQueue->drain(std::max(left, std::chrono::milliseconds(0)));
    }
  }
  if (graph.aggregateID != 0) hal.destroyAggregateDevice(graph.aggregateID);
  graph.aggregateID = 0;
  graph.tapStream = 0;
  graph.microphoneStream = 0;
  if (graph.tapID != 0) hal.destroyProcessTap(graph.tapID);
  graph.tapID = 0;
  graph.tapDescription.reset();
  graph.outputDevice = 0;
  graph.outputDeviceUID.clear();
  graph.inputDevice = 0;
  graph.inputDeviceUID.clear();
  graph.inputStreams = 0;
  graph.inputFormat = {};
}

}  // namespace audiotap::capture
