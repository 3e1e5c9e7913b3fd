#include "driver/follow.h"

#include <cstdint>

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

struct Follow {
  std::uint64_t generation = 0;
  bool moving = false;            // the source is closed and being opened again
  Clock::time_point began;        // when the move began
  Clock::time_point silentSince;  // when the captured device stopped delivering
};

Follow& follow() {
  static Follow* const instance = new Follow();
  return *instance;
}

// With --mic, a new default output with no microphone beside it is still
// captured: the microphone's channel then carries silence.
capture::Result openForMove(State& s) {
  capture::Result failed = openSource();
  if (!failed || !s.options.microphone || failed->message != platform::kNoMicrophone) {
    if (!failed) s.microphoneLost = false;
    return failed;
  }
  closeSource(s);
  if (capture::Result withoutMicrophone = openSource(false)) return withoutMicrophone;
  if (!s.microphoneLost) {
    s.microphoneLost = true;
    events::emitError(platform::kMicrophoneLost);
  }
  return std::nullopt;
}

capture::Result rebuild(State& s) {
  if (capture::Result failed = openForMove(s)) return failed;
  platform::StreamDescription format{};
  if (capture::Result failed = takeTapFormat(s, format)) return failed;
  // The time since the old device stopped delivering becomes silence, up to
  // the new device's first delivery.
  s.ioBlock->fillGapSince(follow().silentSince);
  if (capture::Result failed = startIo(s)) return failed;
  platform::Dictionary device{
      {"outputDeviceUID", s.source->deviceUID()},
      {"tapFormat", platform::Dictionary{{"sampleRate", format.mSampleRate},
                                         {"channels", std::int64_t(format.mChannelsPerFrame)}}}};
  // Absent when the move found no microphone: its channel is silent.
  if (s.options.microphone && !s.microphoneLost)
    device.emplace_back("inputDeviceUID", s.source->inputDeviceUID());
  events::emit("device", device);
  return std::nullopt;
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
  closeSource(s);
  if (Clock::now() - f.began >= kMoveLimit) {
    events::emitError(failed->message, failed->status);
    endCapture(1);
  }
  s.platform->dispatch().asyncAfterOnMain(kRetryInterval, attemptRebuild);
}

void beginMove(Clock::time_point silentSince) {
  State& s = state();
  Follow& f = follow();
  f.moving = true;
  ++f.generation;
  f.began = Clock::now();
  f.silentSince = silentSince;
  closeSource(s);
  attemptRebuild();
}

}  // namespace

void defaultDeviceChanged() {
  State& s = state();
  if (s.stopped || follow().moving || !s.capturing) return;
  const std::optional<std::string> current = s.source->defaultOutputUID();
  // No default at the moment: the captured device still works.
  if (!current || *current == s.source->deviceUID()) return;
  beginMove(Clock::now());
}

void defaultInputChanged() {
  State& s = state();
  if (s.stopped || follow().moving || !s.capturing || !s.options.microphone) return;
  const std::optional<std::string> current = s.source->defaultInputUID();
  // No microphone at the moment: the captured one, if any, still works.
  if (!current) return;
  // A lost microphone that comes back under its old UID is taken up again.
  if (*current == s.source->inputDeviceUID() && !s.microphoneLost) return;
  beginMove(Clock::now());
}

std::uint64_t captureGeneration() { return follow().generation; }

bool moving() { return follow().moving; }

capture::Result openSource(bool microphone) {
  State& s = state();
  const auto reporter = [generation = follow().generation](const platform::SourceReport& report) {
    state().platform->dispatch().asyncOnMain([generation, report] {
      if (state().stopped || generation != follow().generation) return;
      switch (report.kind) {
        case platform::SourceReport::Kind::FormatChanged:
          return formatChanged();
        case platform::SourceReport::Kind::DefaultOutputChanged:
          return defaultDeviceChanged();
        case platform::SourceReport::Kind::DefaultInputChanged:
          return defaultInputChanged();
        case platform::SourceReport::Kind::DeviceLost:
        case platform::SourceReport::Kind::SystemRestarted:
          return captureLost(generation, report.message);
        case platform::SourceReport::Kind::Notice:
          return events::emitError(report.message, report.status);
        case platform::SourceReport::Kind::MicrophoneLost:
          // The capture goes on; the microphone's silence is not reported
          // again.
          state().microphoneLost = true;
          return events::emitError(report.message, report.status);
      }
    });
  };
  return s.source->open({s.filter.get(), s.options.followOutput, s.options.microphone && microphone},
                        reporter);
}

void captureLost(std::uint64_t generation, const std::string& message,
                 std::optional<Clock::time_point> silentSince) {
  State& s = state();
  Follow& f = follow();
  if (s.stopped || generation != f.generation) return;
  if (!s.options.followOutput) endWithError(message);
  if (!f.moving) beginMove(silentSince.value_or(Clock::now()));
}

}  // namespace audiotap::driver
