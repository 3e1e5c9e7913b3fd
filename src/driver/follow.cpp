#include "driver/follow.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/formats.h"
#include "capture/graph.h"
#include "capture/output_device.h"
#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {

using Clock = std::chrono::steady_clock;

// A device that has just appeared may need a moment before it can be
// captured, and an audio system that restarts takes a moment to come back:
// a failed rebuild is tried again this often, for at most this long.
constexpr std::chrono::milliseconds kRetryInterval{250};
constexpr std::chrono::milliseconds kMoveLimit{2000};
// The teardown's bound on the wait for an IO block call that is finishing.
constexpr std::chrono::milliseconds kIoDrainLimit{1000};

constexpr const char* kWatchFailed = "AudioObjectAddPropertyListenerBlock failed";

struct Follow {
  bool enabled = false;
  std::unique_ptr<platform::Queue> queue;  // where the listener runs
  platform::ListenerID listener = 0;
  std::uint64_t generation = 0;
  bool moving = false;      // the graph is down and being built again
  Clock::time_point began;  // when the captured device stopped delivering
};

Follow& follow() {
  static Follow* const instance = new Follow();
  return *instance;
}

void emitFailure(const capture::Failure& failure) {
  platform::Dictionary payload{{"message", failure.message}};
  if (failure.status) {
    payload.emplace_back("status", std::int64_t(*failure.status));
    payload.emplace_back("code", events::fourCC(*failure.status));
  }
  events::emit("error", payload);
}

capture::Result rebuild(State& s) {
  platform::Platform& platform = *s.platform;
  platform::Hal& hal = platform.hal();
  if (capture::Result failed = capture::buildGraph(platform, s.graph)) return failed;
  platform::StreamDescription format{};
  if (capture::Result failed = capture::readTapFormat(hal, s.graph.tapID, format)) return failed;
  // The IO block carries on with its output format and frame count; only
  // the conversion from the tap changes, and only when its format does.
  if (std::memcmp(&format, &s.tapStreamFormat, sizeof format) != 0) {
    capture::TapConversion conversion;
    if (capture::Result failed = capture::buildConversion(platform.media(), format, s.ioBlock->outputFormat(),
                                                          s.targetRate, conversion)) {
      return failed;
    }
    s.ioBlock->replaceConversion(std::move(conversion));
    s.tapStreamFormat = format;
  }
  if (capture::Result failed = capture::createIOProc(
          hal, *s.ioQueue, [block = s.ioBlock](const platform::AudioBufferList* input) { (*block)(input); },
          s.graph)) {
    return failed;
  }
  watchGraph();
  armLossHandler();
  // The time since the old device stopped delivering becomes silence, up to
  // the new device's first delivery.
  s.ioBlock->fillGapSince(follow().began);
  if (capture::Result failed = capture::startDevice(hal, s.graph)) return failed;
  events::emit("device",
               {{"outputDeviceUID", s.graph.outputDeviceUID},
                {"tapFormat", platform::Dictionary{{"sampleRate", format.mSampleRate},
                                                   {"channels", std::int64_t(format.mChannelsPerFrame)}}}});
  return std::nullopt;
}

void tearDownGraph(State& s) {
  capture::tearDown(s.platform->hal(), s.graph, s.ioQueue.get(), Clock::now() + kIoDrainLimit);
}

void attemptRebuild() {
  State& s = state();
  Follow& f = follow();
  if (s.stopped || !f.moving) return;
  capture::Result failed = rebuild(s);
  if (!failed) {
    f.moving = false;
    return;
  }
  // Whatever this attempt made goes.
  tearDownGraph(s);
  if (Clock::now() - f.began >= kMoveLimit) {
    emitFailure(*failed);
    endCapture(1);
  }
  s.platform->dispatch().asyncAfterOnMain(kRetryInterval, attemptRebuild);
}

void beginMove() {
  State& s = state();
  Follow& f = follow();
  f.moving = true;
  ++f.generation;
  f.began = Clock::now();
  tearDownGraph(s);
  attemptRebuild();
}

// The default output device may have changed: moves when it is another
// device than the one captured.
void defaultDeviceChanged() {
  State& s = state();
  Follow& f = follow();
  if (s.stopped || f.moving || !s.capturing) return;
  capture::Graph probe;
  // No default at the moment: the captured device still works.
  if (capture::findDefaultOutputDevice(s.platform->hal(), probe)) return;
  if (probe.outputDeviceUID == s.graph.outputDeviceUID) return;
  beginMove();
}

}  // namespace

void startFollowing() {
  State& s = state();
  Follow& f = follow();
  if (!s.options.followOutput) return;
  platform::Dispatch& dispatch = s.platform->dispatch();
  f.queue = dispatch.makeSerialQueue("com.orvane.audiotap.follow");
  const platform::PropertyAddress address{platform::kAudioHardwarePropertyDefaultOutputDevice,
                                          platform::kAudioObjectPropertyScopeGlobal,
                                          platform::kAudioObjectPropertyElementMain};
  const platform::OSStatus status = s.platform->hal().addPropertyListener(
      platform::kAudioObjectSystemObject, address, *f.queue,
      [] { state().platform->dispatch().asyncOnMain(defaultDeviceChanged); }, &f.listener);
  if (status != 0) events::fail(kWatchFailed, status);
  f.enabled = true;
}

void stopFollowing() {
  Follow& f = follow();
  if (!f.enabled) return;
  f.enabled = false;
  state().platform->hal().removePropertyListener(f.listener);
}

bool following() { return follow().enabled; }

std::uint64_t graphGeneration() { return follow().generation; }

void armLossHandler() {
  state().platform->hal().setDeviceLostHandler(
      [generation = follow().generation](const std::string& message) {
        state().platform->dispatch().asyncOnMain([generation, message] { graphLost(generation, message); });
      });
  state().platform->hal().setNoticeHandler([](const std::string& message) {
    state().platform->dispatch().asyncOnMain([message] {
      if (!state().stopped) events::emit("error", {{"message", message}});
    });
  });
}

void graphLost(std::uint64_t generation, const std::string& message) {
  State& s = state();
  Follow& f = follow();
  if (s.stopped || generation != f.generation) return;
  if (!f.enabled) endWithError(message);
  if (!f.moving) beginMove();
}

}  // namespace audiotap::driver
