#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "capture/aggregate_device.h"
#include "capture/formats.h"
#include "capture/output_device.h"
#include "driver/command_line.h"
#include "driver/filter_setup.h"
#include "driver/state.h"
#include "events/channel.h"
#include "realtime/io_block.h"

namespace audiotap::driver {
namespace {

// Past this a time limit cannot be added to the uptime clock safely; such a
// limit could never be reached anyway, so it counts as none.
constexpr double kLongestTimeLimitSeconds = 4.0e9;

void stopAndExit() {
  cleanup();
  std::exit(0);
}

void setUpIo(State& s, capture::Formats formats) {
  platform::Hal& hal = s.platform->hal();
  s.ioQueue = s.platform->dispatch().makeSerialQueue("com.orvane.audiotap.io");
  s.procID = nullptr;
  auto block = std::make_shared<realtime::IoBlock>(realtime::IoBlock{
      formats.tapStreamFormat, std::move(formats.tapFormat), std::move(formats.outputFormat),
      std::move(formats.converter), &s.platform->media(), s.targetRate, s.stdoutHandle, s.meter});
  s.ioStatus = hal.createIOProcIDWithBlock(&s.procID, s.aggregateID, *s.ioQueue,
                                           [block](const platform::AudioBufferList* input) { (*block)(input); });
  if (s.ioStatus != 0 || s.procID == nullptr) {
    hal.destroyAggregateDevice(s.aggregateID);
    hal.destroyProcessTap(s.tapID);
    events::fail("AudioDeviceCreateIOProcIDWithBlock failed", s.ioStatus);
  }
  s.cleanedUp = false;
  hal.setDeviceLostHandler([](const std::string& message) {
    events::emit("error", {{"message", message}});
    state().platform->dispatch().asyncOnMain([] {
      cleanup();
      std::exit(1);
    });
  });
  s.startStatus = hal.deviceStart(s.aggregateID, s.procID);
  if (s.startStatus != 0) {
    cleanup();
    events::fail("AudioDeviceStart failed", s.startStatus);
  }
}

void emitReady(const State& s, const platform::StreamDescription& tapStreamFormat,
               const std::string& outputDeviceUID) {
  platform::Dictionary ready{
      {"tapFormat", platform::Dictionary{{"sampleRate", tapStreamFormat.mSampleRate},
                                         {"channels", std::int64_t(tapStreamFormat.mChannelsPerFrame)}}},
      {"outputFormat", platform::Dictionary{{"sampleRate", s.targetRate}, {"channels", 1.0}, {"bits", 16.0}}},
      {"outputDeviceUID", outputDeviceUID},
  };
  addFilterFields(s, ready);
  events::emit("ready", ready);
}

void installSignalSources(State& s) {
  platform::Dispatch& dispatch = s.platform->dispatch();
  s.signalSources.clear();
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    dispatch.ignoreSignal(signo);
    auto source = dispatch.makeSignalSource(signo, stopAndExit);
    source->resume();
    s.signalSources.push_back(std::move(source));
  }
}

void installTimeLimitAndStdinWatcher(State& s) {
  platform::Dispatch& dispatch = s.platform->dispatch();
  if (s.seconds > 0 && s.seconds < kLongestTimeLimitSeconds) {
    const auto delay = std::chrono::nanoseconds(std::int64_t(s.seconds * 1e9));
    dispatch.asyncAfterOnMain(delay, stopAndExit);
  }

  s.stdinSource = dispatch.makeReadSource(STDIN_FILENO, [] {
    char byte;
    const ssize_t result = ::read(STDIN_FILENO, &byte, 1);
    if (result == 0) stopAndExit();
    // A descriptor that keeps failing would report itself readable forever;
    // stop watching it rather than spin. Signals and --seconds still stop.
    if (result < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) state().stdinSource->cancel();
  });
  s.stdinSource->resume();
}

}  // namespace

State& state() {
  static State* const instance = new State();
  return *instance;
}

void run(int argc, const char* const* argv, platform::Platform& platform) {
  State& s = state();
  s.platform = &platform;
  s.stderrHandle = &platform.standardError();
  events::setStandardError(s.stderrHandle);
  s.stdoutHandle = &platform.standardOutput();
  s.seconds = 0;
  s.targetRate = 16000.0;
  scanCommandLine(argc, argv, s.options);
  s.seconds = s.options.seconds;
  s.targetRate = s.options.targetRate;
  checkProcessOptions(s);

  platform::Hal& hal = platform.hal();
  const std::string outputDeviceUID = capture::findDefaultOutputDevice(hal, s.outputDevice);
  capture::createProcessTap(hal, platform.randomUUIDString(), s.tapDescription, s.tapID, s.tapStatus,
                            filteredTapDescription(s));

  s.aggregateUID = platform.randomUUIDString();
  s.aggregateDescription =
      capture::aggregateDescriptionFor(s.aggregateUID, outputDeviceUID, s.tapDescription->uuidString());
  capture::createAggregateDevice(hal, s.aggregateDescription, s.tapID, s.aggregateID, s.aggregateStatus);

  capture::Formats formats = capture::buildFormats(hal, platform.media(), s.tapID, s.aggregateID, s.targetRate);
  const platform::StreamDescription tapStreamFormat = formats.tapStreamFormat;
  s.meter = new realtime::Meter();

  setUpIo(s, std::move(formats));
  startFilterUpdates(s);
  // Handled before "ready" is announced, so a host that signals as soon as it
  // reads "ready" always gets the orderly stop; a signal that comes earlier
  // waits on the main queue until start-up has finished.
  installSignalSources(s);
  emitReady(s, tapStreamFormat, outputDeviceUID);
  installTimeLimitAndStdinWatcher(s);
  platform.dispatch().runMain();
  std::abort();  // runMain never returns
}

}  // namespace audiotap::driver
