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

  // Called at most once, from any thread, when a started device can no longer
  // deliver audio (the sound server went away). Set before deviceStart.
  virtual void setDeviceLostHandler(std::function<void(const std::string& message)> handler) = 0;
};

}  // namespace audiotap::platform
