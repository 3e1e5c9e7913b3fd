// The process's shared state, assigned once in start-up order. It is never
// freed: the IO queue and the platform may still use it while the process
// exits.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "capture/graph.h"
#include "capture/process_filter.h"
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
  // When the device was last started; the clock's epoch while it is not.
  std::chrono::steady_clock::time_point deviceStarted{};
  std::vector<std::unique_ptr<platform::Source>> signalSources;
  std::unique_ptr<platform::Source> stdinSource;
  // Only with --include-pid or --exclude-pid.
  std::unique_ptr<capture::FilterUpdater> filter;
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

// Registers the IO block on the built graph, watches the graph and starts the
// device. Sets `capturing` once the block is registered.
[[nodiscard]] capture::Result startIo(State& s);

// The one teardown of the graph, its listeners included, with the bound on
// the wait for an IO block call that is finishing.
void tearDownGraph(State& s);

// Reads the tap's format into `format`; when it differs from the one the IO
// block converts from, a conversion from it takes over between two calls.
[[nodiscard]] capture::Result takeTapFormat(State& s, platform::StreamDescription& format);

// Listens on the system object for a restart of the audio system and, with
// --follow-output, for changes of the default output device. Before each
// build, so that no change after its device was read can go unseen; fails only
// when the default output device cannot be watched. The listeners belong to
// the graph: its teardown removes them, so each build after a restart of the
// audio system (which drops them all) adds them again.
[[nodiscard]] capture::Result watchSystem();

// Listens for the death of the aggregate or output device, changes of the
// tap's format and, with the process filter, of the audio clients. Main
// thread only, on a built graph.
void watchGraph();

// Once a second: reports the audio the IO block could not hand over; whether
// the tap has delivered nothing but exact zeros for 3 s while a process it
// hears plays (once per run of silence); and a device that has stopped
// calling the IO block, which is then taken for lost.
void watchEverySecond();

// A failure during capture: one "error" with `message`, then the orderly
// stop and exit status 1. Main thread only.
[[noreturn]] void endWithError(const std::string& message);

}  // namespace audiotap::driver
