// The process's shared state, assigned once in start-up order. It is never
// freed: the IO queue and the platform may still use it while the process
// exits.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/graph.h"
#include "driver/command_line.h"
#include "platform/platform.h"
#include "realtime/io_block.h"
#include "realtime/meter.h"
#include "realtime/pcm_writer.h"

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
  std::unique_ptr<realtime::PcmWriter> writer;
  std::unique_ptr<platform::Queue> writerQueue;
  std::shared_ptr<realtime::IoBlock> ioBlock;
  // The tap format the IO block converts from, as last read.
  platform::StreamDescription tapStreamFormat{};
  std::unique_ptr<platform::Queue> listenerQueue;
  bool silenceReported = false;
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

// A start-up step failed: tears down what was made, emits its "error" and
// exits with status 1. Main thread only.
[[noreturn]] void failStartup(const capture::Failure& failure);

// The once-only orderly stop: tears the capture graph down, emits "stopped"
// and synchronises standard output. Main thread only.
void stopCapture();

// stopCapture, then exit with `status`. Main thread only.
[[noreturn]] void endCapture(int status);

// Listens for a restart of the audio system, the death of the aggregate or
// output device and changes of the tap's format, on a queue of its own; the
// teardown removes the listeners. Main thread only, on a built graph.
void watchGraph();

// Once a second: reports the audio the IO block could not hand over, and
// whether the tap has delivered nothing but exact zeros for 3 s while the
// output device plays (once per run of silence).
void watchEverySecond();

// A failure during capture: one "error" with `message`, then the orderly
// stop and exit status 1. Main thread only.
[[noreturn]] void endWithError(const std::string& message);

}  // namespace audiotap::driver
