// What the process watches while it captures: the audio system, the devices
// and the tap's format through property listeners, and the tap's silence.
// Listeners run on a queue of their own (never the main thread's run loop,
// where the process parks); each hands its work to the main queue, where the
// graph lives.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>

#include "capture/formats.h"
#include "driver/follow.h"
#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {

constexpr const char* kServiceRestarted = "the audio system restarted: the capture's tap and aggregate device are gone";
constexpr const char* kAggregateDead = "the capture's aggregate device is no longer alive";
constexpr const char* kSilentTap =
    "the tap delivers only silence while audio is playing: the host app has probably not been granted "
    "audio-capture permission";
constexpr std::int64_t kSilentTapNanoseconds = 3'000'000'000;
constexpr std::chrono::seconds kCheckInterval{1};

platform::PropertyAddress globalAddress(std::uint32_t selector) {
  return {selector, platform::kAudioObjectPropertyScopeGlobal, platform::kAudioObjectPropertyElementMain};
}

// A UInt32 property; nothing when it cannot be read.
std::optional<std::uint32_t> readFlag(platform::AudioObjectID object, std::uint32_t selector) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  const platform::PropertyAddress address = globalAddress(selector);
  if (state().platform->hal().getPropertyData(object, address, &size, &value) != 0) return std::nullopt;
  return value;
}

// Runs `task` on the main queue; the listener's queue only carries it there.
void listen(platform::AudioObjectID object, std::uint32_t selector, std::function<void()> task) {
  State& s = state();
  platform::ListenerID id = 0;
  const auto listener = [task = std::move(task)] { state().platform->dispatch().asyncOnMain(task); };
  // A backend without the notification leaves it unwatched; so does a refusal,
  // which must not cost the capture itself.
  if (s.platform->hal().addPropertyListener(object, globalAddress(selector), *s.listenerQueue, listener, &id) == 0) {
    s.graph.listeners.push_back(id);
  }
}

// Notifications can come for nothing: only a real 0 read back ends the
// capture (or, following the default output device, moves it).
void checkAlive(std::uint64_t generation, platform::AudioObjectID object, const std::string& message) {
  const State& s = state();
  if (s.stopped || (object != s.graph.aggregateID && object != s.graph.outputDevice)) return;
  if (readFlag(object, platform::kAudioDevicePropertyDeviceIsAlive) == 0u) graphLost(generation, message);
}

void tapFormatChanged() {
  State& s = state();
  if (s.stopped || s.graph.tapID == 0) return;
  platform::StreamDescription format{};
  if (capture::Result failed = capture::readTapFormat(s.platform->hal(), s.graph.tapID, format)) {
    endWithError(failed->message);
  }
  if (std::memcmp(&format, &s.tapStreamFormat, sizeof format) == 0) return;
  capture::TapConversion conversion;
  if (capture::Result failed = capture::buildConversion(s.platform->media(), format, s.ioBlock->outputFormat(),
                                                        s.targetRate, conversion)) {
    endWithError(failed->message);
  }
  s.ioBlock->replaceConversion(std::move(conversion));
  s.tapStreamFormat = format;
}

// The checks that cannot run on the IO thread, and need not run sooner.
void checkEverySecond() {
  State& s = state();
  s.writer->reportLosses();
  if (s.ioBlock->silentNanoseconds() < kSilentTapNanoseconds) {
    s.silenceReported = false;
  } else if (!s.silenceReported &&
             readFlag(s.graph.outputDevice, platform::kAudioDevicePropertyDeviceIsRunningSomewhere).value_or(0) != 0) {
    s.silenceReported = true;
    events::emit("error", {{"message", kSilentTap}});
  }
  s.platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond);
}

}  // namespace

void watchGraph() {
  State& s = state();
  if (!s.listenerQueue) s.listenerQueue = s.platform->dispatch().makeSerialQueue("com.orvane.audiotap.listeners");
  const std::uint64_t generation = graphGeneration();
  listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyServiceRestarted,
         [generation] { graphLost(generation, kServiceRestarted); });
  listen(s.graph.aggregateID, platform::kAudioDevicePropertyDeviceIsAlive,
         [generation, aggregate = s.graph.aggregateID] { checkAlive(generation, aggregate, kAggregateDead); });
  listen(s.graph.outputDevice, platform::kAudioDevicePropertyDeviceIsAlive,
         [generation, device = s.graph.outputDevice, uid = s.graph.outputDeviceUID] {
           checkAlive(generation, device, "the output device \"" + uid + "\" is no longer alive");
         });
  listen(s.graph.tapID, platform::kAudioTapPropertyFormat, tapFormatChanged);
}

void watchEverySecond() { state().platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond); }

}  // namespace audiotap::driver
