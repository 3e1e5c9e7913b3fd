// The process's shared state, assigned once in start-up order. It is never
// freed: the IO queue and the platform may still use it while the process
// exits.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/formats.h"
#include "capture/graph.h"
#include "driver/command_line.h"
#include "platform/platform.h"
#include "realtime/io_block.h"
#include "realtime/meter.h"

namespace audiotap::driver {

struct State {
  platform::Platform* platform = nullptr;
  platform::OutputHandle* stderrHandle = nullptr;
  platform::OutputHandle* stdoutHandle = nullptr;
  Options options;
  double seconds = 0;
  double targetRate = 16000;
  capture::Graph graph;
  realtime::Meter* meter = nullptr;
  std::unique_ptr<platform::Queue> ioQueue;
  std::shared_ptr<realtime::IoBlock> ioBlock;
  // Set once the IO block is registered: from then on the end of the process
  // goes through stopCapture, which writes "stopped".
  bool capturing = false;
  bool stopped = false;
  std::vector<std::unique_ptr<platform::Source>> signalSources;
  std::unique_ptr<platform::Source> stdinSource;
};

State& state();

// Start-up, from the command line to the dispatch main loop.
[[noreturn]] void run(int argc, const char* const* argv, platform::Platform& platform);

// Makes the IO block for `formats` and registers it on the graph's aggregate
// device, on the IO queue, with the device lost handler for this graph.
[[nodiscard]] capture::Result registerIo(State& s, capture::Formats formats);

// A start-up step failed: tears down what was made, emits its "error" and
// exits with status 1. Main thread only.
[[noreturn]] void failStartup(const capture::Failure& failure);

// The once-only orderly stop: tears the capture graph down, emits "stopped"
// and synchronises standard output. Main thread only.
void stopCapture();

// stopCapture, then exit with `status`. Main thread only.
[[noreturn]] void endCapture(int status);

// A failure during capture: one "error" with `message`, then the orderly
// stop and exit status 1. Main thread only.
[[noreturn]] void endWithError(const std::string& message);

}  // namespace audiotap::driver
