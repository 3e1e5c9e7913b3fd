// What the core asks of a backend: the capture of everything the default
// output device plays, in the capture's own terms. Core Audio's process tap
// and aggregate device, a PulseAudio sink's monitor and WASAPI loopback each
// stand behind it.
//
// The contract, which tests/contract checks against every backend that can
// run on the build machine:
//  1. The main thread makes every call, one at a time. Only `deliver` (on the
//     IO queue) and the reporter (on any thread) run elsewhere.
//  2. open() captures the device that is the default output when it is
//     called, with the request's process filter. On failure it returns the
//     "error" message (and the platform status, if a platform call failed)
//     and has kept nothing it made; close() is still safe. After success,
//     deviceUID() and format() answer, and the reporter may be called.
//  3. format() is linear PCM, 32-bit float, native endian, at the device's
//     rate, with one or more channels, interleaved or one buffer per channel.
//     It changes only between deliveries, and each change is reported.
//  4. attach() registers `deliver` to run on `ioQueue`; a failure leaves
//     nothing registered. start() then begins the deliveries; when it fails
//     the core still calls close().
//  5. Deliveries run one at a time on the IO queue, each a buffer list of the
//     source's frames in format() and nothing else, valid only for the call.
//     `deliver` never blocks; a source never blocks its own thread on it
//     either, beyond the call.
//  6. The frames keep to the device's clock: their count divided by the rate
//     is the time captured. While the device plays nothing, or delivers
//     nothing, the source delivers silence of that length; audio the system
//     dropped becomes silence of its length, with one Notice per episode.
//  7. Reports (the reporter given to open) come from any thread, at most one
//     at a time, and never after close() has returned. Each says what
//     happened, never what to do: the core decides whether to end, move or
//     carry on. A lost device or a restarted audio system is reported once.
//  8. close() is the one teardown, for whatever open, attach and start made,
//     in part or in whole. Once it returns no delivery is running or begins
//     (one still running is waited for until `deadline`, then let be) and no
//     report begins. It may be called again; afterwards open() may be called
//     again, for a new default device.
//  9. defaultOutputUID() reads which device is the default output now,
//     without capturing it; nothing when there is none.
// 10. tappedProcessPlays() says whether a process the capture hears is
//     playing now, this process aside; false when the platform cannot tell.
//     A capture that delivers only exact zeros while one plays has been
//     refused by the system.
// 11. With request.microphone, open() also captures the default input device
//     (a sink's monitor is no microphone), or fails with kNoMicrophone, or
//     kMicrophoneUnsupported where the platform cannot. Each delivery then
//     holds the microphone's frames beside the output's: the same count, the
//     same moments, on the output's clock (the source locks the microphone's
//     clock to it), in microphoneFormat(): 32-bit float like format(), at
//     format()'s rate. A lost microphone is reported once
//     (MicrophoneLost) and its frames are silence from then on, while the
//     output's go on; with followOutput the source may take up a new default
//     input instead, reporting nothing. With followOutput it also reports each
//     change of the default input (DefaultInputChanged), and
//     defaultInputUID() reads which device that is now, without capturing it:
//     nothing when there is none or it is no microphone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/processes.h"
#include "platform/types.h"

namespace audiotap::platform {

// The process trees of --include-pid and --exclude-pid, kept by the core.
// Main thread only.
class ProcessFilter {
 public:
  virtual ~ProcessFilter() = default;
  // The roots as given; the include list is empty when every process is
  // heard but the excluded ones.
  virtual const std::vector<ProcessID>& includeRoots() const = 0;
  virtual const std::vector<ProcessID>& excludeRoots() const = 0;
  // Reads the process table again, so that heard() knows processes started
  // since and forgets those that ended.
  virtual void refresh() = 0;
  // Whether the capture hears `pid`, as of the last refresh.
  virtual bool heard(ProcessID pid) const = 0;
};

struct CaptureRequest {
  // Null when every process is heard.
  ProcessFilter* filter = nullptr;
  // The core moves the capture when the default output changes; a source may
  // watch the default only then.
  bool followOutput = false;
  // The default input device as well, on the output's clock.
  bool microphone = false;
};

inline constexpr const char* kNoMicrophone =
    "there is no microphone to capture: the system has no default input device";
inline constexpr const char* kMicrophoneUnsupported = "this platform cannot capture the microphone yet";
inline constexpr const char* kMicrophoneLost =
    "the microphone was lost: its channel carries silence from now on";

// What a failed call reports: the "error" message, and the platform status
// when a platform call failed.
struct SourceFailure {
  std::string message;
  std::optional<std::int32_t> status;
};
using SourceResult = std::optional<SourceFailure>;

struct SourceReport {
  enum class Kind {
    FormatChanged,         // format() has a new value
    DefaultOutputChanged,  // only with followOutput; may come for nothing
    DeviceLost,            // the captured device can deliver no more
    SystemRestarted,       // the audio system went away or restarted
    Notice,                // something the user should know; the capture goes on
    MicrophoneLost,        // the microphone can deliver no more; its frames are silence
    DefaultInputChanged,   // only with followOutput; may come for nothing
  };
  Kind kind;
  // The "error" message for DeviceLost, SystemRestarted, Notice and
  // MicrophoneLost.
  std::string message;
  // The platform status a Notice carries, when a platform call failed.
  std::optional<std::int32_t> status = std::nullopt;
};

using SourceReporter = std::function<void(const SourceReport& report)>;
// The output's frames, and the microphone's (null unless it was asked for).
using Delivery = std::function<void(const AudioBufferList* frames, const AudioBufferList* microphone)>;

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  [[nodiscard]] virtual SourceResult open(const CaptureRequest& request, SourceReporter reporter) = 0;
  virtual std::string deviceUID() const = 0;
  virtual StreamDescription format() const = 0;
  // Only with request.microphone, after open() succeeded.
  virtual std::string inputDeviceUID() const { return {}; }
  virtual StreamDescription microphoneFormat() const { return {}; }
  virtual std::optional<std::string> defaultInputUID() { return std::nullopt; }

  [[nodiscard]] virtual SourceResult attach(Queue& ioQueue, Delivery deliver) = 0;
  [[nodiscard]] virtual SourceResult start() = 0;
  virtual void close(std::chrono::steady_clock::time_point deadline) = 0;

  virtual std::optional<std::string> defaultOutputUID() = 0;
  virtual bool tappedProcessPlays() { return false; }
};

}  // namespace audiotap::platform
