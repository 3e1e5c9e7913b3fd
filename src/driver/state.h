// The process's shared state, assigned once in start-up order. It is never
// freed: the IO queue and the platform may still use it while the process
// exits.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/process_filter.h"
#include "driver/command_line.h"
#include "platform/platform.h"
#include "realtime/meter.h"

namespace audiotap::driver {

struct State {
  platform::Platform* platform = nullptr;
  platform::OutputHandle* stderrHandle = nullptr;
  platform::OutputHandle* stdoutHandle = nullptr;
  Options options;
  double seconds = 0;
  double targetRate = 16000;
  platform::AudioObjectID outputDevice = 0;
  std::unique_ptr<platform::TapDescription> tapDescription;
  platform::AudioObjectID tapID = 0;
  platform::OSStatus tapStatus = 0;
  std::string aggregateUID;
  platform::Dictionary aggregateDescription;
  platform::AudioObjectID aggregateID = 0;
  platform::OSStatus aggregateStatus = 0;
  realtime::Meter* meter = nullptr;
  std::unique_ptr<platform::Queue> ioQueue;
  platform::IOProcID procID = nullptr;
  platform::OSStatus ioStatus = 0;
  bool cleanedUp = false;
  platform::OSStatus startStatus = 0;
  std::vector<std::unique_ptr<platform::Source>> signalSources;
  std::unique_ptr<platform::Source> stdinSource;
  // Only with --include-pid or --exclude-pid.
  std::unique_ptr<capture::ProcessTrees> processTrees;
  std::vector<platform::AudioObjectID> listedProcesses;
  std::unique_ptr<capture::FilterUpdater> filterUpdater;
};

State& state();

// Start-up, from the command line to the dispatch main loop.
[[noreturn]] void run(int argc, const char* const* argv, platform::Platform& platform);

// The once-only teardown: stops and destroys the capture graph, emits
// "stopped" and synchronises standard output. Main thread only.
void cleanup();

}  // namespace audiotap::driver
