// What the process watches while it captures: the audio system, the devices,
// the tap's format and the audio clients through property listeners, the
// tap's silence, and the IO block's calls. Listeners run on a queue of their
// own (never the main thread's run loop, where the process parks); each hands
// its work to the main queue, where the graph lives.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>

#include "capture/formats.h"
#include "driver/follow.h"
#include "driver/state.h"
#include "events/channel.h"
#include "platform/processes.h"

namespace audiotap::driver {
namespace {

constexpr const char* kServiceRestarted =
    "the audio system restarted: the capture's tap and aggregate device are gone";
constexpr const char* kAggregateDead = "the capture's aggregate device is no longer alive";
constexpr const char* kWatchFailed = "AudioObjectAddPropertyListenerBlock failed";
constexpr const char* kSilentTap =
    "the tap delivers only silence while audio is playing: the host app has probably not been granted "
    "audio-capture permission";
constexpr const char* kStalled = "the output device stopped delivering audio";
constexpr std::int64_t kSilentTapNanoseconds = 3'000'000'000;
// Far longer than any buffer, and than a device takes to deliver its first.
constexpr std::chrono::seconds kStallLimit{2};
constexpr std::chrono::seconds kCheckInterval{1};

// Runs `task` on the main queue; the listener's queue only carries it there.
// The listener belongs to the graph, and goes with its teardown.
platform::OSStatus listen(platform::AudioObjectID object, std::uint32_t selector,
                          std::function<void()> task) {
  State& s = state();
  if (!s.listenerQueue)
    s.listenerQueue = s.platform->dispatch().makeSerialQueue("com.orvane.audiotap.listeners");
  platform::ListenerID id = 0;
  const auto listener = [task = std::move(task)] { state().platform->dispatch().asyncOnMain(task); };
  const platform::OSStatus status = s.platform->hal().addPropertyListener(
      object, platform::globalAddress(selector), *s.listenerQueue, listener, &id);
  if (status == 0) s.graph.listeners.push_back(id);
  return status;
}

// Notifications can come for nothing: only a 0 read back ends the capture
// (or, following the default output device, moves it). A device that went
// away may no longer answer at all, which counts as 0.
void checkAlive(std::uint64_t generation, platform::AudioObjectID object, const std::string& message) {
  const State& s = state();
  if (s.stopped || (object != s.graph.aggregateID && object != s.graph.outputDevice)) return;
  std::uint32_t alive = 0;
  std::uint32_t size = sizeof alive;
  const platform::PropertyAddress address =
      platform::globalAddress(platform::kAudioDevicePropertyDeviceIsAlive);
  if (s.platform->hal().getPropertyData(object, address, &size, &alive) != 0 || alive == 0) {
    graphLost(generation, message);
  }
}

void tapFormatChanged() {
  State& s = state();
  if (s.stopped || s.graph.tapID == 0) return;
  platform::StreamDescription format{};
  if (capture::Result failed = takeTapFormat(s, format)) endWithError(failed->message);
}

// A device that stops calling the IO block without a word (an unplugged
// device on macOS, a monitor stream on Linux) is taken for lost. Not during a
// move, whose silence is measured anyway.
void checkDelivery(State& s) {
  if (s.stopped || moving() || s.deviceStarted == std::chrono::steady_clock::time_point{}) return;
  const auto last = std::max(s.ioBlock->lastCall(), s.deviceStarted);
  if (std::chrono::steady_clock::now() - last < kStallLimit) return;
  // A move would say nothing else about the pause in the audio.
  if (s.options.followOutput) events::emitError(kStalled);
  graphLost(graphGeneration(), kStalled, last);
}

// The checks that cannot run on the IO thread, and need not run sooner.
void checkEverySecond() {
  State& s = state();
  s.writer->reportLosses();
  if (s.ioBlock->silentNanoseconds() < kSilentTapNanoseconds) {
    s.silenceReported = false;
  } else if (!s.silenceReported &&
             capture::tappedProcessPlays(s.platform->hal(), s.filter ? &s.filter->trees() : nullptr,
                                         platform::processTable().self())) {
    s.silenceReported = true;
    events::emitError(kSilentTap);
  }
  checkDelivery(s);
  s.platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond);
}

}  // namespace

capture::Result takeTapFormat(State& s, platform::StreamDescription& format) {
  if (capture::Result failed = capture::readTapFormat(s.platform->hal(), s.graph.tapID, format))
    return failed;
  // The IO block carries on with its output format and frame count; only the
  // conversion from the tap changes, and only when its format does.
  if (std::memcmp(&format, &s.tapStreamFormat, sizeof format) == 0) return std::nullopt;
  capture::TapConversion conversion;
  if (capture::Result failed = capture::buildConversion(
          s.platform->media(), format, s.ioBlock->outputFormat(), s.targetRate, conversion)) {
    return failed;
  }
  s.ioBlock->replaceConversion(std::move(conversion));
  s.tapStreamFormat = format;
  return std::nullopt;
}

capture::Result watchSystem() {
  const std::uint64_t generation = graphGeneration();
  // A backend without the notification leaves it unwatched; so does a refusal,
  // which must not cost the capture itself.
  listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyServiceRestarted,
         [generation] { graphLost(generation, kServiceRestarted); });
  if (!state().options.followOutput) return std::nullopt;
  const platform::OSStatus status =
      listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultOutputDevice,
             defaultDeviceChanged);
  if (status != 0) return capture::Failure{kWatchFailed, status};
  return std::nullopt;
}

void watchGraph() {
  State& s = state();
  const std::uint64_t generation = graphGeneration();
  listen(
      s.graph.aggregateID, platform::kAudioDevicePropertyDeviceIsAlive,
      [generation, aggregate = s.graph.aggregateID] { checkAlive(generation, aggregate, kAggregateDead); });
  listen(s.graph.outputDevice, platform::kAudioDevicePropertyDeviceIsAlive,
         [generation, device = s.graph.outputDevice, uid = s.graph.outputDeviceUID] {
           checkAlive(generation, device, "the output device \"" + uid + "\" is no longer alive");
         });
  listen(s.graph.tapID, platform::kAudioTapPropertyFormat, tapFormatChanged);
  // Here rather than with the system's listeners: a backend may watch the
  // audio clients only once the tap exists. The periodic pass keeps up
  // without it.
  if (s.filter) {
    listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyProcessObjectList,
           [] { state().filter->recheck(); });
  }
}

void watchEverySecond() { state().platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond); }

}  // namespace audiotap::driver
