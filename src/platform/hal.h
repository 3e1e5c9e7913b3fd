// The audio hardware operations the process calls: Core Audio's HAL on macOS,
// mapped onto the local sound server elsewhere. Every call is made from the
// main thread, except that an IO block runs on the queue it was registered
// with.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/types.h"
#include "platform/value.h"

namespace audiotap::platform {

// A string reference handed out by a property read (CFStringRef on macOS).
// The reader owns it and must release it exactly once.
using StringRef = const void*;

// Identifies a registered IO block; null means none.
using IOProcID = void*;

// Identifies a registered property listener; 0 means none.
using ListenerID = std::uint64_t;

// Runs after a property has changed; it must read the new value itself.
using PropertyListener = std::function<void()>;

// Called for every delivered buffer, one call at a time, on the registered
// queue. `input` lives only for the call.
using IOBlock = std::function<void(const AudioBufferList* input)>;

// CATapDescription.
class TapDescription {
 public:
  virtual ~TapDescription() = default;
  virtual void setName(const std::string& name) = 0;
  // The canonical upper-case UUID string.
  virtual void setUUID(const std::string& uuid) = 0;
  virtual std::string uuidString() const = 0;
  virtual void setPrivate(bool isPrivate) = 0;
  virtual void setMuteBehavior(int behavior) = 0;  // 0: unmuted
  // Marks a description made for the process filter, even while its list of
  // processes is empty. A backend that cannot switch to a filtered capture
  // later without losing or leaking audio sets it up from the start.
  virtual void setFiltered(bool filtered) { (void)filtered; }
};

// Keys and values of the aggregate device description.
inline constexpr const char* kAggregateNameKey = "name";
inline constexpr const char* kAggregateUIDKey = "uid";
inline constexpr const char* kAggregateMainSubDeviceKey = "master";
inline constexpr const char* kAggregateIsPrivateKey = "private";
inline constexpr const char* kAggregateIsStackedKey = "stacked";
inline constexpr const char* kAggregateTapAutoStartKey = "tapautostart";
inline constexpr const char* kAggregateSubDeviceListKey = "subdevices";
inline constexpr const char* kAggregateTapListKey = "taps";
inline constexpr const char* kSubTapUIDKey = "uid";
inline constexpr const char* kSubTapDriftCompensationKey = "drift";
// The entries of the sub-device list; Core Audio spells them as a sub-tap's.
inline constexpr const char* kSubDeviceUIDKey = "uid";
inline constexpr const char* kSubDeviceDriftCompensationKey = "drift";

// The default input device ('dIn ') on the system object, the virtual format
// of a stream ('sfmt', what an IO block receives of it), and any scope, for a
// listener.
inline constexpr std::uint32_t kAudioHardwarePropertyDefaultInputDevice = fourCharCode("dIn ");
inline constexpr std::uint32_t kAudioStreamPropertyVirtualFormat = fourCharCode("sfmt");
inline constexpr std::uint32_t kAudioObjectPropertyScopeWildcard = fourCharCode("****");

class Hal {
 public:
  virtual ~Hal() = default;

  // AudioObjectGetPropertyData with no qualifier. `data` must hold
  // *dataSize bytes and be preset by the caller.
  virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t* dataSize,
                                   void* data) = 0;
  // The characters of a string reference, or nothing when they cannot be
  // read. Does not release it.
  virtual std::optional<std::string> copyString(StringRef string) = 0;
  virtual void releaseString(StringRef string) = 0;

  // CATapDescription initMonoGlobalTapButExcludeProcesses:.
  virtual std::unique_ptr<TapDescription> makeMonoGlobalTapButExcludeProcesses(
      const std::vector<AudioObjectID>& excluded) = 0;
  virtual OSStatus createProcessTap(TapDescription& description, AudioObjectID* tap) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

  virtual OSStatus createAggregateDevice(const Dictionary& description, AudioObjectID* device) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

  virtual OSStatus createIOProcIDWithBlock(IOProcID* procID, AudioObjectID device, Queue& queue,
                                           IOBlock block) = 0;
  virtual OSStatus deviceStart(AudioObjectID device, IOProcID procID) = 0;
  // Once this and destroyIOProcID have returned, no new call of the IO block
  // begins; one already running may still be finishing on its queue.
  virtual OSStatus deviceStop(AudioObjectID device, IOProcID procID) = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID procID) = 0;

  // The size of a property's value (AudioObjectGetPropertyDataSize), with an
  // optional qualifier.
  virtual OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                       std::uint32_t qualifierSize, const void* qualifier, std::uint32_t* dataSize) {
    (void)object, (void)address, (void)qualifierSize, (void)qualifier, (void)dataSize;
    return kAudioHardwareUnsupportedOperationError;
  }

  // AudioObjectAddPropertyListenerBlock: after the property changes,
  // `listener` runs on `queue`, never on the main thread's run loop. Sets *id
  // on success.
  virtual OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address, Queue& queue,
                                       PropertyListener listener, ListenerID* id) {
    (void)object, (void)address, (void)queue, (void)listener, (void)id;
    return kAudioHardwareUnsupportedOperationError;
  }
  // Once this has returned the listener does not begin again; a call already
  // running on its queue may still be finishing.
  virtual OSStatus removePropertyListener(ListenerID id) {
    (void)id;
    return kAudioHardwareUnsupportedOperationError;
  }

  // CATapDescription initMonoMixdownOfProcesses:.
  virtual std::unique_ptr<TapDescription> makeMonoMixdownOfProcesses(const std::vector<AudioObjectID>& processes) {
    (void)processes;
    return nullptr;
  }
  // Replaces a created tap's description in place ('tdsc').
  virtual OSStatus setTapDescription(AudioObjectID tap, TapDescription& description) {
    (void)tap, (void)description;
    return kAudioHardwareUnsupportedOperationError;
  }

  // Called at most once, from any thread, when a started device can no longer
  // deliver audio (the sound server went away). Set before deviceStart.
  virtual void setDeviceLostHandler(std::function<void(const std::string& message)> handler) = 0;
  // Called from any thread with a message for the user about a started
  // device whose capture goes on (audio the server dropped, for one). Set
  // before deviceStart.
  virtual void setNoticeHandler(std::function<void(const std::string& message)> handler) { (void)handler; }
};

}  // namespace audiotap::platform
