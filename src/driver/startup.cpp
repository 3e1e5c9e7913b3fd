#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "capture/formats.h"
#include "capture/source.h"
#include "driver/command_line.h"
#include "driver/filter_setup.h"
#include "driver/follow.h"
#include "driver/ready.h"
#include "driver/state.h"
#include "events/channel.h"
#include "realtime/echo_canceller.h"
#include "realtime/echo_stage.h"
#include "realtime/io_block.h"

namespace audiotap::driver {
namespace {

// Past this a time limit cannot be added to the uptime clock safely; such a
// limit could never be reached anyway, so it counts as none.
constexpr double kLongestTimeLimitSeconds = 4.0e9;
// How much output the writer keeps for a host that is slow to read: long
// enough for a host's pause, short enough to bound the memory.
constexpr double kBufferedSeconds = 4.0;

constexpr const char* kNoEchoCanceller =
    "this build has no echo canceller: add --no-echo-cancel to capture the microphone as it is";
constexpr const char* kEchoCancellerRate =
    "echo cancellation works at --rate 8000, 16000, 32000 or 48000: add --no-echo-cancel to capture the "
    "microphone as it is at other rates";

void stopAndExit() { endCapture(0); }

// Before the source is opened, so that nothing is captured when it fails.
void setUpEchoCanceller(State& s) {
  if (!s.options.microphone || !s.options.echoCancel) return;
  if (!realtime::echoCancellerBuilt()) events::fail(kNoEchoCanceller);
  s.canceller = realtime::makeEchoCanceller(s.targetRate);
  if (!s.canceller) events::fail(kEchoCancellerRate);
}

void setUpIo(State& s, capture::Formats formats, std::optional<capture::TapConversion> microphone) {
  platform::Dispatch& dispatch = s.platform->dispatch();
  s.ioQueue = dispatch.makeSerialQueue("com.orvane.audiotap.io");
  // With --no-echo-cancel the stage has no canceller and passes the frames
  // through.
  s.writer = std::make_unique<realtime::PcmWriter>(
      s.targetRate, kBufferedSeconds, *s.stdoutHandle, *s.meter,
      microphone ? std::make_unique<realtime::EchoStage>(std::move(s.canceller)) : nullptr);
  s.ioBlock = std::make_shared<realtime::IoBlock>(std::move(formats.conversion), std::move(formats.outputFormat),
                                                  s.platform->media(), s.targetRate, *s.writer);
  if (microphone) s.ioBlock->addMicrophone(std::move(*microphone));
  s.writer->housekeeping = [block = s.ioBlock] { block->collectRetired(); };
  // The writer has stopped; the stop reports why and ends with status 1.
  s.writer->onWriteFailure = [&dispatch] { dispatch.asyncOnMain([] { endCapture(1); }); };
  s.writerQueue = dispatch.makeSerialQueue("com.orvane.audiotap.writer");
  s.writerQueue->async([writer = s.writer.get()] { writer->run(); });
  if (capture::Result failed = startIo(s)) {
    if (!s.capturing) failStartup(*failed);
    stopCapture();
    events::fail(failed->message, failed->status);
  }
}


void installStopSources(State& s) {
  s.signalSources = s.platform->dispatch().makeStopSources(stopAndExit);
  for (const auto& source : s.signalSources) source->resume();
}

void installTimeLimitAndStdinWatcher(State& s) {
  platform::Dispatch& dispatch = s.platform->dispatch();
  if (s.seconds > 0 && s.seconds < kLongestTimeLimitSeconds) {
    const auto delay = std::chrono::nanoseconds(std::int64_t(s.seconds * 1e9));
    dispatch.asyncAfterOnMain(delay, stopAndExit);
  }

  s.stdinSource = dispatch.makeInputEndSource(stopAndExit);
  s.stdinSource->resume();
}

}  // namespace

capture::Result startIo(State& s) {
  if (capture::Result failed = s.source->attach(
          *s.ioQueue, [block = s.ioBlock](const platform::AudioBufferList* input,
                                          const platform::AudioBufferList* microphone) { (*block)(input, microphone); })) {
    return failed;
  }
  s.capturing = true;
  if (capture::Result failed = s.source->start()) return failed;
  s.deviceStarted = std::chrono::steady_clock::now();
  return std::nullopt;
}

State& state() {
  static State* const instance = new State();
  return *instance;
}

void run(int argc, const char* const* argv, platform::Platform& platform) {
  State& s = state();
  s.platform = &platform;
  // A host that closes standard output or error must not kill the process
  // before the teardown: the failed write ends the capture in order instead.
  platform.dispatch().ignoreBrokenPipe();
  s.stderrHandle = &platform.standardError();
  events::setStandardError(s.stderrHandle);
  s.stdoutHandle = &platform.standardOutput();
  scanCommandLine(argc, argv, s.options);
  s.seconds = s.options.seconds;
  s.targetRate = s.options.targetRate;
  setUpProcessFilter(s);
  setUpEchoCanceller(s);

  s.source = capture::makeSource(platform);
  if (capture::Result failed = openSource()) failStartup(*failed);
  capture::Formats formats;
  if (capture::Result failed = capture::buildFormats(platform.media(), s.source->format(), s.targetRate, formats)) {
    failStartup(*failed);
  }
  s.tapStreamFormat = formats.conversion.tapStreamFormat;
  std::optional<capture::TapConversion> microphone;
  if (s.options.microphone) {
    microphone.emplace();
    if (capture::Result failed = capture::buildConversion(platform.media(), s.source->microphoneFormat(),
                                                          *formats.outputFormat, s.targetRate, *microphone)) {
      failStartup(*failed);
    }
    s.microphoneStreamFormat = microphone->tapStreamFormat;
  }
  s.meter = new realtime::Meter(&realtime::Meter::Clock::now, s.options.microphone ? 2 : 1);

  setUpIo(s, std::move(formats), std::move(microphone));
  // Handled before "ready" is announced, so a host that signals as soon as it
  // reads "ready" always gets the orderly stop; a signal that comes earlier
  // waits on the main queue until start-up has finished.
  installStopSources(s);
  events::emit("ready", readyFields(s));
  installTimeLimitAndStdinWatcher(s);
  watchEverySecond();
  platform.dispatch().runMain();
  std::abort();  // runMain never returns
}

}  // namespace audiotap::driver
