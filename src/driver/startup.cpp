#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/formats.h"
#include "capture/source.h"
#include "driver/command_line.h"
#include "driver/filter_setup.h"
#include "driver/follow.h"
#include "driver/state.h"
#include "events/channel.h"
#include "realtime/io_block.h"

namespace audiotap::driver {
namespace {

// Past this a time limit cannot be added to the uptime clock safely; such a
// limit could never be reached anyway, so it counts as none.
constexpr double kLongestTimeLimitSeconds = 4.0e9;
// How much output the writer keeps for a host that is slow to read: long
// enough for a host's pause, short enough to bound the memory.
constexpr double kBufferedSeconds = 4.0;

void stopAndExit() { endCapture(0); }

void setUpIo(State& s, capture::Formats formats) {
  platform::Dispatch& dispatch = s.platform->dispatch();
  s.ioQueue = dispatch.makeSerialQueue("com.orvane.audiotap.io");
  s.writer = std::make_unique<realtime::PcmWriter>(s.targetRate, kBufferedSeconds, *s.stdoutHandle, *s.meter);
  s.ioBlock = std::make_shared<realtime::IoBlock>(std::move(formats.conversion), std::move(formats.outputFormat),
                                                  s.platform->media(), s.targetRate, *s.writer);
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

void emitReady(const State& s, const platform::StreamDescription& tapStreamFormat) {
  platform::Dictionary ready{
      {"tapFormat", platform::Dictionary{{"sampleRate", tapStreamFormat.mSampleRate},
                                         {"channels", std::int64_t(tapStreamFormat.mChannelsPerFrame)}}},
      {"outputFormat", platform::Dictionary{{"sampleRate", s.targetRate}, {"channels", 1.0}, {"bits", 16.0}}},
      {"outputDeviceUID", s.source->deviceUID()},
      {"version", std::string(AUDIOTAP_VERSION)},
  };
  addFilterFields(s, ready);
  events::emit("ready", ready);
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
          *s.ioQueue, [block = s.ioBlock](const platform::AudioBufferList* input, const platform::AudioBufferList*) { (*block)(input); })) {
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

  s.source = capture::makeSource(platform);
  if (capture::Result failed = openSource()) failStartup(*failed);
  capture::Formats formats;
  if (capture::Result failed = capture::buildFormats(platform.media(), s.source->format(), s.targetRate, formats)) {
    failStartup(*failed);
  }
  s.tapStreamFormat = formats.conversion.tapStreamFormat;
  s.meter = new realtime::Meter();

  setUpIo(s, std::move(formats));
  // Handled before "ready" is announced, so a host that signals as soon as it
  // reads "ready" always gets the orderly stop; a signal that comes earlier
  // waits on the main queue until start-up has finished.
  installStopSources(s);
  emitReady(s, s.tapStreamFormat);
  installTimeLimitAndStdinWatcher(s);
  watchEverySecond();
  platform.dispatch().runMain();
  std::abort();  // runMain never returns
}

}  // namespace audiotap::driver
