#include "platform/sim/sim_hal.h"

#include <time.h>

#include <cstring>

#include "platform/sim/tone.h"

namespace audiotap::sim {
namespace {

using platform::fourCharCode;

constexpr OSStatus kUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr OSStatus kBadObjectError = OSStatus(fourCharCode("!obj"));
constexpr OSStatus kBadPropertySizeError = OSStatus(fourCharCode("!siz"));
constexpr OSStatus kIllegalOperationError = OSStatus(fourCharCode("nope"));

class SimTapDescription final : public platform::TapDescription {
 public:
  explicit SimTapDescription(const Trace& trace) : trace_(trace) {}
  void setName(const std::string& name) override { trace_.line("CATapDescription setName " + name); }
  void setUUID(const std::string& uuid) override {
    uuid_ = uuid;
    trace_.line("CATapDescription setUUID " + uuid);
  }
  std::string uuidString() const override { return uuid_; }
  void setPrivate(bool isPrivate) override {
    trace_.line(std::string("CATapDescription setPrivate ") + (isPrivate ? "1" : "0"));
  }
  void setMuteBehavior(int behavior) override {
    trace_.line("CATapDescription setMuteBehavior " + std::to_string(behavior));
  }

 private:
  const Trace& trace_;
  std::string uuid_;
};

std::int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Sleeps until `deadline` in slices, so a stop is noticed within one slice.
// False when stopped first.
bool sleepUntil(std::int64_t deadline, const std::atomic<bool>& stopped) {
  constexpr std::int64_t kSlice = 20'000'000;
  for (;;) {
    if (stopped.load()) return false;
    const std::int64_t now = monotonicNanoseconds();
    if (now >= deadline) return true;
    const std::int64_t until = std::min(deadline, now + kSlice);
    const timespec wake{time_t(until / 1'000'000'000), long(until % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
  }
}

}  // namespace

SimHal::SimHal(const Script& script, const Trace& trace) : script_(script), trace_(trace) {
  devices_.push_back({script_.deviceID, script_.uidValue, script_.format});
  for (const DeviceSwitch& next : script_.switches) {
    devices_.push_back(
        {AudioObjectID(devices_.back().id + 1), next.uid, next.format.value_or(devices_.back().format)});
  }
}

const SimHal::Device* SimHal::deviceWithID(AudioObjectID id) const {
  for (const Device& device : devices_) {
    if (device.id == id && id != 0) return &device;
  }
  return nullptr;
}

SimHal::~SimHal() {
  for (const std::string* string : liveStrings_) delete string;
}

OSStatus SimHal::getPropertyData(AudioObjectID object, const platform::PropertyAddress& address,
                                 std::uint32_t* dataSize, void* data) {
  const std::uint32_t size = dataSize ? *dataSize : 0;
  trace_.line("AudioObjectGetPropertyData " + std::to_string(object) + " " + fourCharText(address.mSelector) +
              " " + fourCharText(address.mScope) + " " + std::to_string(address.mElement) + " " +
              std::to_string(size));
  if (address.mSelector == platform::kAudioHardwarePropertyDefaultOutputDevice) {
    if (object != platform::kAudioObjectSystemObject) return kBadObjectError;
    if (size != sizeof(AudioObjectID)) return kBadPropertySizeError;
    std::memcpy(data, &devices_[current_.load()].id, sizeof(AudioObjectID));
    return script_.deviceStatus;
  }
  if (address.mSelector == platform::kAudioDevicePropertyDeviceUID) {
    const Device* device = deviceWithID(object);
    if (device == nullptr) return kBadObjectError;
    if (size != sizeof(platform::StringRef)) return kBadPropertySizeError;
    if (script_.uidLeavesReference) {
      const std::string* string = new std::string(device->uid);
      liveStrings_.insert(string);
      const platform::StringRef reference = string;
      std::memcpy(data, &reference, sizeof reference);
    }
    return script_.uidStatus;
  }
  if (address.mSelector == platform::kAudioTapPropertyFormat) {
    if (object != script_.tapID || object == 0) return kBadObjectError;
    if (size != sizeof(platform::StreamDescription)) return kBadPropertySizeError;
    const platform::StreamDescription description = streamDescription(devices_[current_.load()].format);
    std::memcpy(data, &description, sizeof description);
    return script_.formatStatus;
  }
  return kUnknownPropertyError;
}

std::optional<std::string> SimHal::copyString(platform::StringRef string) {
  const auto found = liveStrings_.find(static_cast<const std::string*>(string));
  trace_.line(found == liveStrings_.end() ? "CopyString invalid" : "CopyString uid");
  if (found == liveStrings_.end()) return std::nullopt;
  return **found;
}

void SimHal::releaseString(platform::StringRef string) {
  const auto found = liveStrings_.find(static_cast<const std::string*>(string));
  trace_.line(found == liveStrings_.end() ? "CFRelease invalid" : "CFRelease uid");
  if (found == liveStrings_.end()) return;
  delete *found;
  liveStrings_.erase(found);
}

std::unique_ptr<platform::TapDescription> SimHal::makeMonoGlobalTapButExcludeProcesses(
    const std::vector<AudioObjectID>& excluded) {
  std::string ids;
  for (const AudioObjectID id : excluded) ids += (ids.empty() ? "" : ",") + std::to_string(id);
  trace_.line("CATapDescription initMonoGlobalTapButExcludeProcesses [" + ids + "]");
  return std::make_unique<SimTapDescription>(trace_);
}

OSStatus SimHal::createProcessTap(platform::TapDescription& description, AudioObjectID* tap) {
  trace_.line("AudioHardwareCreateProcessTap " + description.uuidString());
  if (script_.tapID != 0) *tap = script_.tapID;
  return script_.tapStatus;
}

OSStatus SimHal::destroyProcessTap(AudioObjectID tap) {
  trace_.line("AudioHardwareDestroyProcessTap " + std::to_string(tap));
  return tap == script_.tapID ? 0 : kBadObjectError;
}

OSStatus SimHal::createAggregateDevice(const platform::Dictionary& description, AudioObjectID* device) {
  trace_.line("AudioHardwareCreateAggregateDevice " + toJson(description));
  if (script_.aggregateID != 0) *device = script_.aggregateID;
  return script_.aggregateStatus;
}

OSStatus SimHal::destroyAggregateDevice(AudioObjectID device) {
  trace_.line("AudioHardwareDestroyAggregateDevice " + std::to_string(device));
  return device == script_.aggregateID ? 0 : kBadObjectError;
}

OSStatus SimHal::createIOProcIDWithBlock(platform::IOProcID* procID, AudioObjectID device,
                                         platform::Queue& queue, platform::IOBlock block) {
  trace_.line("AudioDeviceCreateIOProcIDWithBlock " + std::to_string(device));
  stream_ = std::make_shared<Stream>();
  stream_->script = script_;
  const std::size_t index = current_.load();
  stream_->format = devices_[index].format;
  if (index < script_.switches.size()) {
    stream_->switchAfter = script_.switches[index].after;
    stream_->switchDevice = [this, index](Stream& stream) { switchFrom(index, stream); };
  }
  stream_->trace = &trace_;
  stream_->block = std::move(block);
  queue_ = &queue;
  if (script_.ioprocYieldsID) *procID = stream_.get();
  return script_.ioprocStatus;
}

std::string SimHal::procText(platform::IOProcID procID) const {
  if (procID == nullptr) return "none";
  return stream_ && procID == stream_.get() && script_.ioprocYieldsID ? "proc" : "invalid";
}

OSStatus SimHal::deviceStart(AudioObjectID device, platform::IOProcID procID) {
  trace_.line("AudioDeviceStart " + std::to_string(device) + " " + procText(procID));
  if (script_.startStatus != 0) return script_.startStatus;
  if (device != script_.aggregateID || procText(procID) != "proc") return kIllegalOperationError;
  stream_->lost = lost_;
  queue_->async([stream = stream_] { deliver(*stream); });
  return 0;
}

OSStatus SimHal::deviceStop(AudioObjectID device, platform::IOProcID procID) {
  trace_.line("AudioDeviceStop " + std::to_string(device) + " " + procText(procID));
  if (stream_) stream_->stopped.store(true);
  return 0;
}

OSStatus SimHal::destroyIOProcID(AudioObjectID device, platform::IOProcID procID) {
  trace_.line("AudioDeviceDestroyIOProcID " + std::to_string(device) + " " + procText(procID));
  if (stream_) stream_->stopped.store(true);
  return 0;
}

OSStatus SimHal::addPropertyListener(AudioObjectID object, const platform::PropertyAddress& address,
                                     platform::Queue& queue, platform::PropertyListener listener,
                                     platform::ListenerID* id) {
  trace_.line("AudioObjectAddPropertyListenerBlock " + std::to_string(object) + " " +
              fourCharText(address.mSelector));
  if (id == nullptr || !listener) return kIllegalOperationError;
  auto entry = std::make_shared<Listener>();
  entry->object = object;
  entry->selector = address.mSelector;
  entry->queue = &queue;
  entry->run = std::move(listener);
  std::lock_guard lock(listenersMutex_);
  entry->id = nextListener_++;
  *id = entry->id;
  listeners_.push_back(std::move(entry));
  return 0;
}

OSStatus SimHal::removePropertyListener(platform::ListenerID id) {
  std::lock_guard lock(listenersMutex_);
  for (auto it = listeners_.begin(); it != listeners_.end(); ++it) {
    if ((*it)->id != id) continue;
    trace_.line("AudioObjectRemovePropertyListenerBlock " + std::to_string((*it)->object) + " " +
                fourCharText((*it)->selector));
    (*it)->live.store(false);
    listeners_.erase(it);
    return 0;
  }
  trace_.line("AudioObjectRemovePropertyListenerBlock invalid");
  return kBadObjectError;
}

void SimHal::propertyChanged(AudioObjectID object, std::uint32_t selector) {
  std::lock_guard lock(listenersMutex_);
  for (const auto& listener : listeners_) {
    if (listener->object != object || listener->selector != selector) continue;
    // One removed after this was posted does not begin.
    listener->queue->async([listener] {
      if (listener->live.load()) listener->run();
    });
  }
}

void SimHal::switchFrom(std::size_t index, Stream& stream) {
  const Device& next = devices_[index + 1];
  const auto& lost = script_.switches[index].lostMessage;
  // Traced before anyone hears of it, so the trace keeps the order.
  stream.trace->line("DefaultOutputDeviceChanged " + std::to_string(next.id) + " " + next.uid);
  if (lost) stream.trace->line("DeviceLost " + *lost);
  current_.store(index + 1);
  propertyChanged(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultOutputDevice);
  if (lost && stream.lost) stream.lost(*lost);
}

void SimHal::setDeviceLostHandler(std::function<void(const std::string& message)> handler) {
  lost_ = std::move(handler);
}

void deliver(SimHal::Stream& stream) {
  const Script& script = stream.script;
  ToneGenerator tone(stream.format, script.toneHz, script.amplitude, script.framesPerBuffer);
  for (const OddBuffer kind : script.odd) {
    if (stream.stopped.load()) return;
    stream.block(tone.odd(kind));
  }
  const double nanosecondsPerBuffer = 1e9 * script.framesPerBuffer / stream.format.sampleRate;
  const std::int64_t start = monotonicNanoseconds();
  for (std::uint64_t delivered = 0;; ++delivered) {
    if (stream.switchAfter && delivered == *stream.switchAfter) {
      if (!stream.stopped.load()) stream.switchDevice(stream);
      return;
    }
    if (script.loseAfter && delivered == *script.loseAfter) {
      if (stream.stopped.load()) return;
      stream.trace->line("DeviceLost " + script.loseMessage);
      if (stream.lost) stream.lost(script.loseMessage);
      return;
    }
    if (script.bufferCount && delivered == *script.bufferCount && !stream.switchAfter) return;
    if (script.realtime &&
        !sleepUntil(start + std::int64_t(delivered * nanosecondsPerBuffer), stream.stopped)) {
      return;
    }
    if (stream.stopped.load()) return;
    stream.block(tone.next());
  }
}

}  // namespace audiotap::sim
