// The process's shared state, assigned once in start-up order. It is never
// freed: the IO queue and the platform may still use it while the process
// exits.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "capture/process_filter.h"
#include "capture/source.h"
#include "driver/command_line.h"
#include "platform/capture_source.h"
#include "platform/platform.h"
#include "realtime/echo_canceller.h"
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
  std::unique_ptr<platform::CaptureSource> source;
  realtime::Meter* meter = nullptr;
  std::unique_ptr<platform::Queue> ioQueue;
  std::unique_ptr<realtime::PcmWriter> writer;
  std::unique_ptr<platform::Queue> writerQueue;
  std::shared_ptr<realtime::IoBlock> ioBlock;
  // The source's format the IO block converts from, as last read.
  platform::StreamDescription tapStreamFormat{};
  bool silenceReported = false;
  // Only with --mic: the canceller, made before the source is opened and
  // handed to the writer's echo stage; the microphone's format the IO block
  // converts from.
  std::unique_ptr<realtime::EchoCanceller> canceller;
  platform::StreamDescription microphoneStreamFormat{};
  bool microphoneLost = false;
  bool microphoneSilenceReported = false;
  // Set once the IO block is registered: from then on the end of the process
  // goes through stopCapture, which writes "stopped".
  bool capturing = false;
  bool stopped = false;
  // When the device was last started; the clock's epoch while it is not.
  std::chrono::steady_clock::time_point deviceStarted{};
  std::vector<std::unique_ptr<platform::Source>> signalSources;
  std::unique_ptr<platform::Source> stdinSource;
  // Only with --include-pid or --exclude-pid.
  std::unique_ptr<capture::ProcessTrees> filter;
};

State& state();

// Start-up, from the command line to the dispatch main loop.
[[noreturn]] void run(int argc, const char* const* argv, platform::Platform& platform);

// A start-up step failed: tears down what was made, emits its "error" and
// exits with status 1. Main thread only.
[[noreturn]] void failStartup(const capture::Failure& failure);

// The once-only orderly stop: closes the capture source, emits "stopped"
// and synchronises standard output. Main thread only.
void stopCapture();

// stopCapture, then exit with `status`. Main thread only.
[[noreturn]] void endCapture(int status);

// Attaches the IO block to the open source and starts it. Sets `capturing`
// once the block is attached.
[[nodiscard]] capture::Result startIo(State& s);

// The source's one teardown, with the bound on the wait for an IO block call
// that is finishing.
void closeSource(State& s);

// Reads the source's format into `format`; when it differs from the one the
// IO block converts from, a conversion from it takes over between two calls.
// The same for the microphone's format, when the source has one.
[[nodiscard]] capture::Result takeTapFormat(State& s, platform::StreamDescription& format);

// The source's format changed: the IO block converts from the new one, or the
// capture ends when it cannot.
void formatChanged();

// Once a second: reports the audio the IO block could not hand over; whether
// the tap has delivered nothing but exact zeros for 3 s while a process it
// hears plays (once per run of silence); the same of the microphone, unless
// it was lost; and a device that has stopped calling the IO block, which is
// then taken for lost.
void watchEverySecond();

// A failure during capture: one "error" with `message`, then the orderly
// stop and exit status 1. Main thread only.
[[noreturn]] void endWithError(const std::string& message);

}  // namespace audiotap::driver
