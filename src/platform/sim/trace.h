// The simulator's record of the platform calls it receives, one line per call,
// appended to the file named by `trace=` with a single write, so the record
// survives an exit at any moment. Lines (IDs in decimal, selectors as their
// four characters):
//
//   AudioObjectGetPropertyData <object> <selector> <scope> <element> <size>
//   CopyString <ref>                       CFRelease <ref>
//   CATapDescription initMonoGlobalTapButExcludeProcesses [<ids>]
//   CATapDescription setName <name> | setUUID <uuid> | setPrivate <0|1> | setMuteBehavior <n>
//   AudioHardwareCreateProcessTap <tap uuid>
//   AudioHardwareCreateAggregateDevice <description as compact JSON>
//   AVAudioFormat initWithStreamDescription <rate> <channels> <bytesPerFrame> <flags>
//   AVAudioFormat initWithCommonFormat <format> <rate> <channels> <interleaved 0|1>
//   AVAudioConverter initFromFormat
//   AudioDeviceCreateIOProcIDWithBlock <device>
//   AudioDeviceStart <device> <proc>       AudioDeviceStop <device> <proc>
//   AudioDeviceDestroyIOProcID <device> <proc>
//   AudioHardwareDestroyAggregateDevice <device>
//   AudioHardwareDestroyProcessTap <tap>
//   AudioObjectAddPropertyListenerBlock <object> <selector>
//   AudioObjectRemovePropertyListenerBlock <object> <selector> | invalid
//   DeviceLost <message>                   (from the IO queue, not a call)
//   PropertyChanged <object> <selector>    (from the IO queue, not a call)
//   Notified <object> <selector>           (a listener runs, on its queue)
//
// <ref> is "uid" for the reference a UID read handed out and "invalid" for
// one that is unknown or already released. <proc> is "proc" for the ID the
// registration handed out, "none" for null and "invalid" otherwise.
#pragma once

#include <string>
#include <string_view>

#include <cstdint>

namespace audiotap::platform::sim {

class Trace {
 public:
  Trace() = default;
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  ~Trace();

  // False when the file cannot be opened for appending.
  bool open(const std::string& path);
  // Safe from any thread; does nothing when no file is open.
  void line(std::string_view text) const;

 private:
  std::intptr_t file_ = -1;
};

std::string fourCharText(std::uint32_t code);

}  // namespace audiotap::platform::sim
