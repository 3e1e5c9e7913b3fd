#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/macos/backend.h"
#include "platform/macos/property_list.h"

namespace audiotap::platform::macos {
namespace {

// Our records are handed to the HAL as they are.
static_assert(sizeof(platform::AudioBufferList) == sizeof(::AudioBufferList));
static_assert(sizeof(platform::AudioBuffer) == sizeof(::AudioBuffer));
static_assert(offsetof(platform::AudioBuffer, mDataByteSize) == offsetof(::AudioBuffer, mDataByteSize));
static_assert(offsetof(platform::AudioBuffer, mData) == offsetof(::AudioBuffer, mData));
static_assert(offsetof(platform::AudioBufferList, mBuffers) == offsetof(::AudioBufferList, mBuffers));
static_assert(platform::kAudioObjectSystemObject == ::kAudioObjectSystemObject);
static_assert(platform::kAudioObjectPropertyScopeGlobal == ::kAudioObjectPropertyScopeGlobal);
static_assert(platform::kAudioObjectPropertyElementMain == ::kAudioObjectPropertyElementMain);
static_assert(platform::kAudioHardwarePropertyDefaultOutputDevice ==
              ::kAudioHardwarePropertyDefaultOutputDevice);
static_assert(platform::kAudioDevicePropertyDeviceUID == ::kAudioDevicePropertyDeviceUID);
static_assert(platform::kAudioTapPropertyFormat == ::kAudioTapPropertyFormat);
static_assert(platform::kAudioTapPropertyDescription == ::kAudioTapPropertyDescription);
static_assert(platform::kAudioHardwarePropertyServiceRestarted == ::kAudioHardwarePropertyServiceRestarted);
static_assert(platform::kAudioHardwarePropertyProcessObjectList == ::kAudioHardwarePropertyProcessObjectList);
static_assert(platform::kAudioHardwarePropertyTranslatePIDToProcessObject ==
              ::kAudioHardwarePropertyTranslatePIDToProcessObject);
static_assert(platform::kAudioProcessPropertyPID == ::kAudioProcessPropertyPID);
static_assert(platform::kAudioProcessPropertyIsRunningOutput == ::kAudioProcessPropertyIsRunningOutput);
static_assert(platform::kAudioDevicePropertyDeviceIsAlive == ::kAudioDevicePropertyDeviceIsAlive);
static_assert(platform::kAudioDevicePropertyDeviceIsRunningSomewhere ==
              ::kAudioDevicePropertyDeviceIsRunningSomewhere);
static_assert(platform::kAudioAggregateDevicePropertyMainSubDevice ==
              ::kAudioAggregateDevicePropertyMainSubDevice);
static_assert(platform::kAudioHardwareUnsupportedOperationError == ::kAudioHardwareUnsupportedOperationError);
static_assert(platform::kAudioDevicePropertyStreams == ::kAudioDevicePropertyStreams);
static_assert(platform::kAudioObjectPropertyScopeInput == ::kAudioObjectPropertyScopeInput);
static_assert(platform::kAudioHardwarePropertyDefaultInputDevice == ::kAudioHardwarePropertyDefaultInputDevice);
static_assert(platform::kAudioStreamPropertyVirtualFormat == ::kAudioStreamPropertyVirtualFormat);
static_assert(platform::kAudioObjectPropertyScopeWildcard == ::kAudioObjectPropertyScopeWildcard);
static_assert(int(CATapUnmuted) == 0);

// One flat table serves the description and its sub-tap entries because the
// HAL spells both UID keys alike.
static_assert(std::string_view(kAudioSubTapUIDKey) == kAudioAggregateDeviceUIDKey);
// The sub-device list's entries take the same two keys.
static_assert(std::string_view(kAudioSubDeviceUIDKey) == kAudioSubTapUIDKey);
static_assert(std::string_view(kAudioSubDeviceDriftCompensationKey) == kAudioSubTapDriftCompensationKey);
static_assert(std::string_view(kSubDeviceUIDKey) == kSubTapUIDKey);
static_assert(std::string_view(kSubDeviceDriftCompensationKey) == kSubTapDriftCompensationKey);
constexpr KeyName kAggregateKeys[] = {
    {kAggregateNameKey, kAudioAggregateDeviceNameKey},
    {kAggregateUIDKey, kAudioAggregateDeviceUIDKey},
    {kAggregateMainSubDeviceKey, kAudioAggregateDeviceMainSubDeviceKey},
    {kAggregateIsPrivateKey, kAudioAggregateDeviceIsPrivateKey},
    {kAggregateIsStackedKey, kAudioAggregateDeviceIsStackedKey},
    {kAggregateTapAutoStartKey, kAudioAggregateDeviceTapAutoStartKey},
    {kAggregateSubDeviceListKey, kAudioAggregateDeviceSubDeviceListKey},
    {kAggregateTapListKey, kAudioAggregateDeviceTapListKey},
    {kSubTapUIDKey, kAudioSubTapUIDKey},
    {kSubTapDriftCompensationKey, kAudioSubTapDriftCompensationKey},
};

struct FoundationBuilder {
  using Object = id;
  using List = NSMutableArray*;
  // Handles go by value: under ARC a reference to an object pointer would be
  // __autoreleasing.
  using Map = NSMutableDictionary*;

  id number(int value) { return [NSNumber numberWithInt:value]; }
  id number(std::int64_t value) { return [NSNumber numberWithLongLong:value]; }
  id number(double value) { return [NSNumber numberWithDouble:value]; }
  id number(float value) { return [NSNumber numberWithFloat:value]; }
  id string(const std::string& value) { return toNSString(value); }
  List list(std::size_t capacity) { return [NSMutableArray arrayWithCapacity:capacity]; }
  void append(List list, id object) { [list addObject:object]; }
  id finish(List list) { return list; }
  Map map(std::size_t capacity) { return [NSMutableDictionary dictionaryWithCapacity:capacity]; }
  void set(Map map, std::string_view key, id object) { map[toNSString(key)] = object; }
  id finish(Map map) { return map; }
};

class MacTapDescription final : public TapDescription {
 public:
  explicit MacTapDescription(CATapDescription* description) : description_(description) {}

  void setName(const std::string& name) override { description_.name = toNSString(name); }
  void setUUID(const std::string& uuid) override {
    // A string that is not a UUID leaves the description's own UUID.
    NSUUID* parsed = [[NSUUID alloc] initWithUUIDString:toNSString(uuid)];
    if (parsed != nil) description_.UUID = parsed;
  }
  std::string uuidString() const override { return toString(description_.UUID.UUIDString); }
  void setPrivate(bool isPrivate) override { description_.privateTap = isPrivate; }
  void setMuteBehavior(int behavior) override {
    description_.muteBehavior = static_cast<CATapMuteBehavior>(behavior);
  }

  CATapDescription* description() const { return description_; }

 private:
  CATapDescription* description_;
};

AudioDeviceIOProcID toProcID(IOProcID procID) { return reinterpret_cast<AudioDeviceIOProcID>(procID); }

AudioObjectPropertyAddress toHal(const PropertyAddress& address) {
  return {address.mSelector, address.mScope, address.mElement};
}

// Removal needs the very block and queue the listener was added with.
struct Registration {
  AudioObjectID object;
  AudioObjectPropertyAddress address;
  dispatch_queue_t queue;
  AudioObjectPropertyListenerBlock block;
  std::shared_ptr<std::atomic<bool>> live;
};

class MacHal final : public Hal {
 public:
  // The HAL attaches its notifications to the run loop this property names,
  // by default the main one, which dispatch_main() never runs: NULL gives
  // them a thread of the HAL's own. Set before any listener is added.
  MacHal() {
    CFRunLoopRef none = nullptr;
    const AudioObjectPropertyAddress address{::kAudioHardwarePropertyRunLoop,
                                             ::kAudioObjectPropertyScopeGlobal,
                                             ::kAudioObjectPropertyElementMain};
    // A refusal leaves the HAL's default.
    AudioObjectSetPropertyData(::kAudioObjectSystemObject, &address, 0, nullptr, sizeof none, &none);
  }

  OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t* dataSize,
                           void* data) override {
    const AudioObjectPropertyAddress halAddress = toHal(address);
    return AudioObjectGetPropertyData(object, &halAddress, 0, nullptr, dataSize, data);
  }

  OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address, std::uint32_t qualifierSize,
                               const void* qualifier, std::uint32_t* dataSize) override {
    const AudioObjectPropertyAddress halAddress = toHal(address);
    return AudioObjectGetPropertyDataSize(object, &halAddress, qualifierSize, qualifier, dataSize);
  }

  OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address, Queue& queue,
                               PropertyListener listener, ListenerID* id) override {
    auto* ours = dynamic_cast<MacQueue*>(&queue);
    if (ours == nullptr || !listener || id == nullptr) return kAudioHardwareIllegalOperationError;
    // The HAL posts each notification onto the queue; one posted just before
    // the removal must not run the listener after removePropertyListener has
    // returned, so the block asks first.
    auto live = std::make_shared<std::atomic<bool>>(true);
    AudioObjectPropertyListenerBlock block = ^(UInt32, const AudioObjectPropertyAddress*) {
      if (!live->load(std::memory_order_acquire)) return;
      @autoreleasepool {
        listener();
      }
    };
    const AudioObjectPropertyAddress halAddress = toHal(address);
    const OSStatus status = AudioObjectAddPropertyListenerBlock(object, &halAddress, ours->queue(), block);
    if (status != 0) return status;
    std::lock_guard lock(listenersMutex_);
    *id = nextListener_++;
    listeners_.emplace(*id, Registration{object, halAddress, ours->queue(), block, std::move(live)});
    return 0;
  }

  OSStatus removePropertyListener(ListenerID id) override {
    if (id == 0) return 0;
    Registration registration;
    {
      std::lock_guard lock(listenersMutex_);
      const auto found = listeners_.find(id);
      if (found == listeners_.end()) return kAudioHardwareIllegalOperationError;
      registration = std::move(found->second);
      listeners_.erase(found);
    }
    registration.live->store(false, std::memory_order_release);
    // After a restart of the audio system the object is gone and this fails;
    // the listener is silenced all the same.
    return AudioObjectRemovePropertyListenerBlock(registration.object, &registration.address, registration.queue,
                                                  registration.block);
  }

  std::optional<std::string> copyString(StringRef string) override {
    if (string == nullptr) return std::nullopt;
    const auto cfString = static_cast<CFStringRef>(string);
    if (CFGetTypeID(cfString) != CFStringGetTypeID()) return std::nullopt;
    if (const char* direct = CFStringGetCStringPtr(cfString, kCFStringEncodingUTF8))
      return std::string(direct);
    const CFIndex capacity =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(cfString), kCFStringEncodingUTF8) + 1;
    if (capacity <= 0) return std::nullopt;
    std::string text(static_cast<std::size_t>(capacity), '\0');
    if (!CFStringGetCString(cfString, text.data(), capacity, kCFStringEncodingUTF8)) return std::nullopt;
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
  }

  void releaseString(StringRef string) override {
    if (string != nullptr) CFRelease(string);
  }

  std::unique_ptr<TapDescription> makeMonoGlobalTapButExcludeProcesses(
      const std::vector<AudioObjectID>& excluded) override {
    return wrap([[CATapDescription alloc] initMonoGlobalTapButExcludeProcesses:numbers(excluded)]);
  }

  std::unique_ptr<TapDescription> makeMonoMixdownOfProcesses(const std::vector<AudioObjectID>& processes) override {
    return wrap([[CATapDescription alloc] initMonoMixdownOfProcesses:numbers(processes)]);
  }

  OSStatus setTapDescription(AudioObjectID tap, TapDescription& description) override {
    auto* ours = dynamic_cast<MacTapDescription*>(&description);
    if (ours == nullptr) return kAudioHardwareBadObjectError;
    // The property's value is the description object itself.
    CFTypeRef value = (__bridge CFTypeRef)ours->description();
    const AudioObjectPropertyAddress address{::kAudioTapPropertyDescription, ::kAudioObjectPropertyScopeGlobal,
                                             ::kAudioObjectPropertyElementMain};
    return AudioObjectSetPropertyData(tap, &address, 0, nullptr, sizeof value, &value);
  }

  OSStatus createProcessTap(TapDescription& description, AudioObjectID* tap) override {
    auto* ours = dynamic_cast<MacTapDescription*>(&description);
    if (ours == nullptr) return kAudioHardwareBadObjectError;
    return AudioHardwareCreateProcessTap(ours->description(), tap);
  }

  OSStatus destroyProcessTap(AudioObjectID tap) override { return AudioHardwareDestroyProcessTap(tap); }

  OSStatus createAggregateDevice(const Dictionary& description, AudioObjectID* device) override {
    FoundationBuilder builder;
    NSDictionary* platformDescription = toPropertyList(description, builder, kAggregateKeys);
    return AudioHardwareCreateAggregateDevice((__bridge CFDictionaryRef)platformDescription, device);
  }

  OSStatus destroyAggregateDevice(AudioObjectID device) override {
    return AudioHardwareDestroyAggregateDevice(device);
  }

  OSStatus createIOProcIDWithBlock(IOProcID* procID, AudioObjectID device, Queue& queue,
                                   IOBlock block) override {
    auto* ours = dynamic_cast<MacQueue*>(&queue);
    if (ours == nullptr) return kAudioHardwareIllegalOperationError;
    AudioDeviceIOBlock halBlock = ^(const AudioTimeStamp*, const ::AudioBufferList* input,
                                    const AudioTimeStamp*, ::AudioBufferList*, const AudioTimeStamp*) {
      // The queue drains no autorelease pool of its own, and every call makes
      // a few Foundation objects.
      @autoreleasepool {
        block(reinterpret_cast<const platform::AudioBufferList*>(input));
      }
    };
    AudioDeviceIOProcID halProcID = nullptr;
    const OSStatus status = AudioDeviceCreateIOProcIDWithBlock(&halProcID, device, ours->queue(), halBlock);
    *procID = reinterpret_cast<IOProcID>(halProcID);
    return status;
  }

  OSStatus deviceStart(AudioObjectID device, IOProcID procID) override {
    return AudioDeviceStart(device, toProcID(procID));
  }
  OSStatus deviceStop(AudioObjectID device, IOProcID procID) override {
    return AudioDeviceStop(device, toProcID(procID));
  }
  OSStatus destroyIOProcID(AudioObjectID device, IOProcID procID) override {
    return AudioDeviceDestroyIOProcID(device, toProcID(procID));
  }

  // A no-op on macOS: the HAL announces a lost device or a restarted audio
  // system through properties ('livn', 'srst'), which the driver listens for.
  void setDeviceLostHandler(std::function<void(const std::string& message)>) override {}

 private:
  static NSArray<NSNumber*>* numbers(const std::vector<AudioObjectID>& objects) {
    NSMutableArray<NSNumber*>* array = [NSMutableArray arrayWithCapacity:objects.size()];
    for (AudioObjectID object : objects) [array addObject:@(object)];
    return array;
  }
  static std::unique_ptr<TapDescription> wrap(CATapDescription* description) {
    if (description == nil) return nullptr;
    return std::make_unique<MacTapDescription>(description);
  }

  std::mutex listenersMutex_;
  std::unordered_map<ListenerID, Registration> listeners_;
  ListenerID nextListener_ = 1;
};

}  // namespace

std::unique_ptr<Hal> makeHal() { return std::make_unique<MacHal>(); }

}  // namespace audiotap::platform::macos
