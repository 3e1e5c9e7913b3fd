// What the process watches while it captures, beside the source's reports:
// the tap's silence and the IO block's calls.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "capture/formats.h"
#include "driver/follow.h"
#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {

constexpr const char* kSilentTap =
    "the tap delivers only silence while audio is playing: the host app has probably not been granted "
    "audio-capture permission";
constexpr const char* kSilentMicrophone =
    "the microphone delivers only silence: it is muted, or the host app has not been granted microphone access";
constexpr const char* kStalled = "the output device stopped delivering audio";
constexpr std::int64_t kSilentTapNanoseconds = 3'000'000'000;
// Far longer than any buffer, and than a device takes to deliver its first.
constexpr std::chrono::seconds kStallLimit{2};
constexpr std::chrono::seconds kCheckInterval{1};

// A device that stops calling the IO block without a word (an unplugged
// device on macOS, a monitor stream on Linux) is taken for lost. Not during a
// move, whose silence is measured anyway.
void checkDelivery(State& s) {
  if (s.stopped || moving() || s.deviceStarted == std::chrono::steady_clock::time_point{}) return;
  const auto last = std::max(s.ioBlock->lastCall(), s.deviceStarted);
  if (std::chrono::steady_clock::now() - last < kStallLimit) return;
  // A move would say nothing else about the pause in the audio.
  if (s.options.followOutput) events::emitError(kStalled);
  captureLost(captureGeneration(), kStalled, last);
}

// The checks that cannot run on the IO thread, and need not run sooner.
void checkEverySecond() {
  State& s = state();
  s.writer->reportLosses();
  if (s.ioBlock->silentNanoseconds() < kSilentTapNanoseconds) {
    s.silenceReported = false;
  } else if (!s.silenceReported && s.source->tappedProcessPlays()) {
    s.silenceReported = true;
    events::emitError(kSilentTap);
  }
  if (s.ioBlock->hasMicrophone()) {
    // A lost microphone's silence has been reported as its loss.
    if (s.ioBlock->microphoneSilentNanoseconds() < kSilentTapNanoseconds) {
      s.microphoneSilenceReported = false;
    } else if (!s.microphoneSilenceReported && !s.microphoneLost) {
      s.microphoneSilenceReported = true;
      events::emitError(kSilentMicrophone);
    }
  }
  checkDelivery(s);
  s.platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond);
}

// After a move, the microphone beside the new output runs at its rate, and may
// be another device. A source opened without one leaves the IO block to fill
// the microphone's channel with silence.
capture::Result takeMicrophoneFormat(State& s) {
  if (!s.ioBlock->hasMicrophone()) return std::nullopt;
  const platform::StreamDescription format = s.source->microphoneFormat();
  if (!(format.mSampleRate > 0) || std::memcmp(&format, &s.microphoneStreamFormat, sizeof format) == 0) {
    return std::nullopt;
  }
  capture::TapConversion conversion;
  if (capture::Result failed = capture::buildConversion(s.platform->media(), format, s.ioBlock->outputFormat(),
                                                        s.targetRate, conversion)) {
    return failed;
  }
  s.ioBlock->replaceMicrophoneConversion(std::move(conversion));
  s.microphoneStreamFormat = format;
  return std::nullopt;
}

}  // namespace

capture::Result takeTapFormat(State& s, platform::StreamDescription& format) {
  format = s.source->format();
  // The IO block carries on with its output format and frame count; only the
  // conversion from the tap changes, and only when its format does.
  if (std::memcmp(&format, &s.tapStreamFormat, sizeof format) == 0) return takeMicrophoneFormat(s);
  capture::TapConversion conversion;
  if (capture::Result failed = capture::buildConversion(
          s.platform->media(), format, s.ioBlock->outputFormat(), s.targetRate, conversion)) {
    return failed;
  }
  s.ioBlock->replaceConversion(std::move(conversion));
  s.tapStreamFormat = format;
  return takeMicrophoneFormat(s);
}

void formatChanged() {
  platform::StreamDescription format{};
  if (capture::Result failed = takeTapFormat(state(), format)) endWithError(failed->message);
}

void watchEverySecond() { state().platform->dispatch().asyncAfterOnMain(kCheckInterval, checkEverySecond); }

}  // namespace audiotap::driver
