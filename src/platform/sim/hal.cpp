#include "platform/sim/hal.h"

#include <algorithm>
#include <cstring>

#include "events/json.h"
#include "platform/sim/host.h"
#include "platform/sim/tone.h"

namespace audiotap::platform::sim {
namespace {

using host::monotonicNanoseconds;
using platform::fourCharCode;

constexpr OSStatus kUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr OSStatus kBadObjectError = OSStatus(fourCharCode("!obj"));
constexpr OSStatus kBadPropertySizeError = OSStatus(fourCharCode("!siz"));
constexpr OSStatus kIllegalOperationError = OSStatus(fourCharCode("nope"));
// The aggregate device's input streams are 201, 202, ...; the input device's
// one stream is 301.
constexpr AudioObjectID kFirstAggregateStream = 201;
constexpr AudioObjectID kMicrophoneStream = 301;

ToneFormat floatFormat(double rate, std::uint32_t channels) {
  ToneFormat format;
  format.sampleRate = rate;
  format.channels = channels;
  format.bytesPerFrame = 4 * channels;
  return format;
}

class SimTapDescription final : public platform::TapDescription {
 public:
  SimTapDescription(const Trace& trace, bool include, std::vector<AudioObjectID> objects)
      : include(include), objects(std::move(objects)), trace_(trace) {}
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

  const bool include;
  const std::vector<AudioObjectID> objects;

 private:
  const Trace& trace_;
  std::string uuid_;
};

std::string idList(const std::vector<AudioObjectID>& ids) {
  std::string text;
  for (const AudioObjectID id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
  return "[" + text + "]";
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
    host::sleepUntil(until);
  }
}

// The input device that becomes the default with mic.switch.
AudioObjectID switchedMicrophone(const Script& script) { return script.microphoneID + 1; }

bool joinedMicrophoneLives(const World& world, const Script& script) {
  const AudioObjectID joined = world.microphoneJoined.load();
  return joined != 0 && (joined != script.microphoneID || world.microphoneAlive.load());
}

}  // namespace

SimHal::SimHal(const Script& script, const Trace& trace) : script_(script), trace_(trace) {
  elapsedMs();  // the process table's clock starts with the HAL
  devices_.push_back({script_.deviceID, script_.uidValue, script_.format});
  for (const DeviceSwitch& next : script_.switches) {
    devices_.push_back(
        {AudioObjectID(devices_.back().id + 1), next.uid, next.format.value_or(devices_.back().format)});
  }
}

std::optional<std::size_t> SimHal::deviceIndex(AudioObjectID id) const {
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].id == id && id != 0) return i;
  }
  return std::nullopt;
}

std::vector<int> SimHal::clients() const { return clientsAt(script_.processes, elapsedMs()); }

bool SimHal::isMicrophone(AudioObjectID id) const {
  if (!script_.microphone || id == 0) return false;
  return id == script_.microphoneID || (id == switchedMicrophone(script_) && world_->inputSwitched.load());
}

AudioObjectID SimHal::defaultMicrophone() const {
  if (!script_.microphone) return 0;
  return world_->inputSwitched.load() ? switchedMicrophone(script_) : script_.microphoneID;
}

std::uint32_t SimHal::aggregateStreams() const {
  const std::size_t device = std::min(world_->defaultDevice.load(), script_.streams.size() - 1);
  const bool microphone = joinedMicrophoneLives(*world_, script_);
  return script_.streams[device] + (microphone ? 1 : 0);
}

ToneFormat SimHal::tapFormat() const {
  return world_->reformatted.load() ? script_.reformat : devices_[world_->defaultDevice.load()].format;
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
    std::memcpy(data, &devices_[world_->defaultDevice.load()].id, sizeof(AudioObjectID));
    return script_.deviceStatus;
  }
  if (address.mSelector == platform::kAudioHardwarePropertyDefaultInputDevice) {
    if (object != platform::kAudioObjectSystemObject) return kBadObjectError;
    if (size != sizeof(AudioObjectID)) return kBadPropertySizeError;
    const AudioObjectID input = defaultMicrophone();
    std::memcpy(data, &input, sizeof input);
    return script_.microphoneStatus;
  }
  const std::optional<std::size_t> device = deviceIndex(object);
  const bool isAggregate = object == script_.aggregateID && object != 0;
  if (address.mSelector == platform::kAudioDevicePropertyStreams) {
    if (address.mScope != platform::kAudioObjectPropertyScopeInput) return kUnknownPropertyError;
    if (!isAggregate && !isMicrophone(object)) return kBadObjectError;
    const std::uint32_t streams = isAggregate ? aggregateStreams() : 1;
    std::uint32_t written = 0;
    for (std::uint32_t i = 0; i < streams && written + sizeof(AudioObjectID) <= size; ++i) {
      const AudioObjectID stream = isAggregate ? kFirstAggregateStream + i : kMicrophoneStream;
      std::memcpy(static_cast<char*>(data) + written, &stream, sizeof stream);
      written += sizeof stream;
    }
    *dataSize = written;
    return 0;
  }
  if (address.mSelector == platform::kAudioStreamPropertyVirtualFormat) {
    if (size != sizeof(platform::StreamDescription)) return kBadPropertySizeError;
    const ToneFormat tap = tapFormat();
    const std::uint32_t streams = aggregateStreams();
    const std::uint32_t extra =
        script_.streams[std::min(world_->defaultDevice.load(), script_.streams.size() - 1)] - 1;
    ToneFormat format = floatFormat(tap.sampleRate, 1);
    if (object == kMicrophoneStream && script_.microphone) {
      format = floatFormat(script_.microphoneRate, script_.microphoneChannels);
    } else if (object >= kFirstAggregateStream && object < kFirstAggregateStream + streams) {
      const std::uint32_t index = object - kFirstAggregateStream;
      if (index == streams - 1) {
        format = tap;
      } else if (index >= extra) {
        format = floatFormat(tap.sampleRate, script_.microphoneChannels);
      }
    } else {
      return kBadObjectError;
    }
    const platform::StreamDescription description = streamDescription(format);
    std::memcpy(data, &description, sizeof description);
    return 0;
  }
  if (address.mSelector == platform::kAudioDevicePropertyDeviceUID) {
    if (!device && !isMicrophone(object)) return kBadObjectError;
    if (size != sizeof(platform::StringRef)) return kBadPropertySizeError;
    if (script_.uidLeavesReference) {
      const std::string* string =
          new std::string(device                           ? devices_[*device].uid
                          : object == script_.microphoneID ? script_.microphoneUID
                                                           : script_.microphoneSwitchUID);
      liveStrings_.insert(string);
      const platform::StringRef reference = string;
      std::memcpy(data, &reference, sizeof reference);
    }
    return script_.uidStatus;
  }
  if (address.mSelector == platform::kAudioTapPropertyFormat) {
    if (object != script_.tapID || object == 0) return kBadObjectError;
    if (size != sizeof(platform::StreamDescription)) return kBadPropertySizeError;
    const bool reformatted = world_->reformatted.load();
    const platform::StreamDescription description = streamDescription(tapFormat());
    std::memcpy(data, &description, sizeof description);
    if (reformatted) world_->reformatRead.store(true);
    return script_.formatStatus;
  }
  const bool isDevice = device.has_value();
  if (address.mSelector == platform::kAudioDevicePropertyDeviceIsAlive && isMicrophone(object)) {
    if (size != sizeof(std::uint32_t)) return kBadPropertySizeError;
    const std::uint32_t alive = object != script_.microphoneID || world_->microphoneAlive.load() ? 1 : 0;
    std::memcpy(data, &alive, sizeof alive);
    return 0;
  }
  if (address.mSelector == platform::kAudioDevicePropertyDeviceIsAlive ||
      address.mSelector == platform::kAudioDevicePropertyDeviceIsRunningSomewhere) {
    if (!isDevice && !isAggregate) return kBadObjectError;
    if (size != sizeof(std::uint32_t)) return kBadPropertySizeError;
    std::uint32_t value = 0;
    OSStatus status = 0;
    if (address.mSelector == platform::kAudioDevicePropertyDeviceIsAlive) {
      const bool alive = isDevice ? (*device != 0 || world_->deviceAlive.load()) &&
                                        (world_->deadDevices.load() >> *device & 1) == 0
                                  : world_->aggregateAlive.load();
      value = alive ? 1 : 0;
      if (!alive) status = script_.deadReadStatus;
    } else {
      value = isDevice ? script_.gone : 0;
    }
    std::memcpy(data, &value, sizeof value);
    return status;
  }
  if (address.mSelector == platform::kAudioHardwarePropertyProcessObjectList) {
    if (object != platform::kAudioObjectSystemObject) return kBadObjectError;
    const std::vector<int> clients = this->clients();
    std::uint32_t written = 0;
    for (const int pid : clients) {
      if (written + sizeof(AudioObjectID) > size) break;
      const AudioObjectID id = processObject(pid);
      std::memcpy(static_cast<char*>(data) + written, &id, sizeof id);
      written += sizeof id;
    }
    *dataSize = written;
    return script_.processListStatus;
  }
  if (address.mSelector == platform::kAudioProcessPropertyPID ||
      address.mSelector == platform::kAudioProcessPropertyIsRunningOutput) {
    if (size != sizeof(std::int32_t)) return kBadPropertySizeError;
    for (const int pid : clients()) {
      if (processObject(pid) != object) continue;
      const auto& running = script_.runningOutput;
      const bool runs = pid == kSelfPid ? script_.selfRunsOutput
                                        : !running || std::count(running->begin(), running->end(), pid) > 0;
      const std::int32_t value = address.mSelector == platform::kAudioProcessPropertyPID ? pid : runs ? 1 : 0;
      std::memcpy(data, &value, sizeof value);
      return 0;
    }
    return kBadObjectError;
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
  trace_.line("CATapDescription initMonoGlobalTapButExcludeProcesses " + idList(excluded));
  return std::make_unique<SimTapDescription>(trace_, false, excluded);
}

std::unique_ptr<platform::TapDescription> SimHal::makeMonoMixdownOfProcesses(
    const std::vector<AudioObjectID>& processes) {
  trace_.line("CATapDescription initMonoMixdownOfProcesses " + idList(processes));
  if (!script_.mixdownYieldsDescription) return nullptr;
  return std::make_unique<SimTapDescription>(trace_, true, processes);
}

OSStatus SimHal::setTapDescription(AudioObjectID tap, platform::TapDescription& description) {
  const auto& ours = static_cast<SimTapDescription&>(description);
  trace_.line("AudioObjectSetPropertyData " + std::to_string(tap) + " tdsc " +
              (ours.include ? "include " : "exclude ") + idList(ours.objects));
  if (tap != script_.tapID || tap == 0) return kBadObjectError;
  if (script_.tapUpdateStatus != 0) return script_.tapUpdateStatus;
  MutexLock lock(coverage_->mutex);
  coverage_->include = ours.include;
  coverage_->objects = ours.objects;
  return 0;
}

OSStatus SimHal::getPropertyDataSize(AudioObjectID object, const platform::PropertyAddress& address,
                                     std::uint32_t, const void*, std::uint32_t* dataSize) {
  trace_.line("AudioObjectGetPropertyDataSize " + std::to_string(object) + " " +
              fourCharText(address.mSelector));
  if (address.mSelector == platform::kAudioDevicePropertyStreams) {
    const bool isAggregate = object == script_.aggregateID && object != 0;
    if (!isAggregate && !isMicrophone(object)) return kBadObjectError;
    if (address.mScope != platform::kAudioObjectPropertyScopeInput) return kUnknownPropertyError;
    *dataSize = (isAggregate ? aggregateStreams() : 1) * std::uint32_t(sizeof(AudioObjectID));
    return 0;
  }
  if (address.mSelector != platform::kAudioHardwarePropertyProcessObjectList) return kUnknownPropertyError;
  if (object != platform::kAudioObjectSystemObject) return kBadObjectError;
  *dataSize = std::uint32_t(clients().size() * sizeof(AudioObjectID));
  return script_.processListStatus;
}

OSStatus SimHal::createProcessTap(platform::TapDescription& description, AudioObjectID* tap) {
  trace_.line("AudioHardwareCreateProcessTap " + description.uuidString());
  {
    const auto& ours = static_cast<SimTapDescription&>(description);
    MutexLock lock(coverage_->mutex);
    coverage_->include = ours.include;
    coverage_->objects = ours.objects;
  }
  if (script_.tapID != 0) *tap = script_.tapID;
  return script_.tapStatus;
}

OSStatus SimHal::destroyProcessTap(AudioObjectID tap) {
  trace_.line("AudioHardwareDestroyProcessTap " + std::to_string(tap));
  return tap == script_.tapID ? 0 : kBadObjectError;
}

OSStatus SimHal::createAggregateDevice(const platform::Dictionary& description, AudioObjectID* device) {
  trace_.line("AudioHardwareCreateAggregateDevice " + events::toJson(platform::Value(description)));
  AudioObjectID joined = 0;
  if (const auto* list = platform::find(description, platform::kAggregateSubDeviceListKey)) {
    if (const auto* subDevices = list->get<platform::Array>()) {
      for (const platform::Value& entry : *subDevices) {
        const auto* subDevice = entry.get<platform::Dictionary>();
        const platform::Value* uid =
            subDevice ? platform::find(*subDevice, platform::kSubDeviceUIDKey) : nullptr;
        const std::string* text = uid ? uid->get<std::string>() : nullptr;
        if (!script_.microphone || text == nullptr) continue;
        if (*text == script_.microphoneUID) joined = script_.microphoneID;
        if (*text == script_.microphoneSwitchUID && world_->inputSwitched.load())
          joined = switchedMicrophone(script_);
      }
    }
  }
  world_->microphoneJoined.store(joined);
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
  stream_->trace = &trace_;
  stream_->block = std::move(block);
  stream_->world = world_;
  stream_->coverage = coverage_;
  const std::size_t index = world_->defaultDevice.load();
  stream_->format = devices_[index].format;
  stream_->streams = script_.streams[std::min(index, script_.streams.size() - 1)];
  if (index < script_.switches.size()) {
    stream_->switchAfter = script_.switches[index].after;
    stream_->switchAway = [this, index](Stream& stream) { switchFrom(index, stream); };
  }
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
  if (script_.listenStatus != 0) return script_.listenStatus;
  MutexLock lock(world_->mutex);
  *id = world_->nextListener++;
  world_->listeners.emplace(*id, World::Registration{object, address.mSelector, &queue, std::move(listener)});
  return 0;
}

OSStatus SimHal::removePropertyListener(platform::ListenerID id) {
  MutexLock lock(world_->mutex);
  const auto found = world_->listeners.find(id);
  if (found == world_->listeners.end()) {
    trace_.line("AudioObjectRemovePropertyListenerBlock invalid");
    return kBadObjectError;
  }
  trace_.line("AudioObjectRemovePropertyListenerBlock " + std::to_string(found->second.object) + " " +
              fourCharText(found->second.selector));
  world_->listeners.erase(found);
  return 0;
}

void propertyChanged(const std::shared_ptr<World>& world, const Trace& trace, AudioObjectID object,
                     std::uint32_t selector) {
  trace.line("PropertyChanged " + std::to_string(object) + " " + fourCharText(selector));
  MutexLock lock(world->mutex);
  for (const auto& [id, registration] : world->listeners) {
    if (registration.object != object || registration.selector != selector || registration.dropped) continue;
    registration.queue->async([world, &trace, id = id, object, selector] {
      platform::PropertyListener listener;
      {
        MutexLock lock(world->mutex);
        const auto found = world->listeners.find(id);
        if (found == world->listeners.end()) return;
        listener = found->second.listener;
      }
      trace.line("Notified " + std::to_string(object) + " " + fourCharText(selector));
      listener();
    });
  }
}

void serviceRestarted(const std::shared_ptr<World>& world, const Trace& trace) {
  propertyChanged(world, trace, platform::kAudioObjectSystemObject,
                  platform::kAudioHardwarePropertyServiceRestarted);
  MutexLock lock(world->mutex);
  for (auto& [id, registration] : world->listeners) {
    if (registration.object == platform::kAudioObjectSystemObject) registration.dropped = true;
  }
}

void SimHal::switchFrom(std::size_t index, Stream& stream) {
  const DeviceSwitch& change = script_.switches[index];
  if (change.dies) world_->deadDevices.fetch_or(std::uint64_t(1) << index);
  world_->defaultDevice.store(index + 1);
  propertyChanged(world_, trace_, platform::kAudioObjectSystemObject,
                  platform::kAudioHardwarePropertyDefaultOutputDevice);
  if (change.dies) {
    propertyChanged(world_, trace_, devices_[index].id, platform::kAudioDevicePropertyDeviceIsAlive);
  }
  if (!change.lostMessage) return;
  trace_.line("DeviceLost " + *change.lostMessage);
  if (stream.lost) stream.lost(*change.lostMessage);
}

void SimHal::setDeviceLostHandler(std::function<void(const std::string& message)> handler) {
  lost_ = std::move(handler);
}

namespace {

// The list as the aggregate device delivers it: `extra` streams of noise (one
// float channel, like a headset's microphone) in front of the tap's, and the
// input device's stream between them while it is a sub-device.
class ExtraStreams {
 public:
  ExtraStreams(std::uint32_t extra, std::uint32_t frames)
      : extra_(extra), noise_(std::size_t(extra) * frames), frames_(frames) {}

  const platform::AudioBufferList* around(const platform::AudioBufferList* tap,
                                          const platform::AudioBufferList* microphone) {
    if ((extra_ == 0 && microphone == nullptr) || tap == nullptr) return tap;
    const std::uint32_t heard = microphone != nullptr ? 1 : 0;
    const std::uint32_t buffers = extra_ + heard + tap->mNumberBuffers;
    storage_.assign((sizeof(platform::AudioBufferList) + buffers * sizeof(platform::AudioBuffer) + 7) / 8, 0);
    auto* list = reinterpret_cast<platform::AudioBufferList*>(storage_.data());
    list->mNumberBuffers = buffers;
    for (std::uint32_t b = 0; b < extra_; ++b) {
      float* samples = noise_.data() + std::size_t(b) * frames_;
      for (std::uint32_t i = 0; i < frames_; ++i) {
        seed_ = seed_ * 1664525u + 1013904223u;
        samples[i] = float(seed_ >> 8) / float(1u << 24) - 0.5f;
      }
      (&list->mBuffers[0])[b] = {1, frames_ * std::uint32_t(sizeof(float)), samples};
    }
    if (microphone != nullptr) (&list->mBuffers[0])[extra_] = microphone->mBuffers[0];
    for (std::uint32_t b = 0; b < tap->mNumberBuffers; ++b)
      (&list->mBuffers[0])[extra_ + heard + b] = (&tap->mBuffers[0])[b];
    return list;
  }

 private:
  std::uint32_t extra_;
  std::vector<float> noise_;
  std::uint32_t frames_;
  std::uint32_t seed_ = 1;
  std::vector<std::uint64_t> storage_;
};

ToneGenerator microphoneTone(const Script& script, double rate) {
  return ToneGenerator(floatFormat(rate, script.microphoneChannels), script.microphoneHz,
                       script.microphoneDenied ? 0.0 : script.microphoneAmplitude, script.framesPerBuffer);
}

}  // namespace

void deliver(SimHal::Stream& stream) {
  const Script& script = stream.script;
  World& world = *stream.world;
  ToneGenerator tone(stream.format, script.toneHz, script.amplitude, script.framesPerBuffer);
  ExtraStreams extra(stream.streams - 1, script.framesPerBuffer);
  ToneGenerator microphone = microphoneTone(script, stream.format.sampleRate);
  for (const OddBuffer kind : script.odd) {
    if (stream.stopped.load()) return;
    stream.block(tone.odd(kind));
  }
  const auto at = [](const std::optional<std::uint64_t>& when, std::uint64_t delivered) {
    return when && *when == delivered;
  };
  double nanosecondsPerBuffer = 1e9 * script.framesPerBuffer / stream.format.sampleRate;
  std::int64_t paceStart = monotonicNanoseconds();
  std::uint64_t paced = 0;
  std::vector<int> clients;
  for (std::uint64_t delivered = 0;; ++delivered, ++paced) {
    if (at(stream.switchAfter, delivered)) {
      if (!stream.stopped.load()) stream.switchAway(stream);
      return;
    }
    if (at(script.loseAfter, delivered)) {
      if (stream.stopped.load()) return;
      stream.trace->line("DeviceLost " + script.loseMessage);
      if (stream.lost) stream.lost(script.loseMessage);
      return;
    }
    if (at(script.restartAfter, delivered) && !world.restarted.exchange(true)) {
      serviceRestarted(stream.world, *stream.trace);
      return;
    }
    if (at(script.stallAfter, delivered) && !world.stalled.exchange(true)) return;
    if (at(script.dieAfter, delivered)) {
      (script.aggregateDies ? world.aggregateAlive : world.deviceAlive).store(false);
      propertyChanged(stream.world, *stream.trace,
                      script.aggregateDies ? script.aggregateID : script.deviceID,
                      platform::kAudioDevicePropertyDeviceIsAlive);
      return;
    }
    if (at(script.microphoneLoseAfter, delivered) && world.microphoneAlive.exchange(false)) {
      propertyChanged(stream.world, *stream.trace, script.microphoneID,
                      platform::kAudioDevicePropertyDeviceIsAlive);
      if (world.microphoneJoined.load() == script.microphoneID) {
        propertyChanged(stream.world, *stream.trace, script.aggregateID,
                        platform::kAudioDevicePropertyStreams);
      }
    }
    if (at(script.microphoneSwitchAfter, delivered) && !world.inputSwitched.exchange(true)) {
      propertyChanged(stream.world, *stream.trace, platform::kAudioObjectSystemObject,
                      platform::kAudioHardwarePropertyDefaultInputDevice);
    }
    if (at(script.blipAfter, delivered)) {
      propertyChanged(stream.world, *stream.trace, script.deviceID,
                      platform::kAudioDevicePropertyDeviceIsAlive);
    }
    if (at(script.reformatAfter, delivered)) {
      world.reformatted.store(true);
      propertyChanged(stream.world, *stream.trace, script.tapID, platform::kAudioTapPropertyFormat);
      // The platform reconfigures before it delivers in the new format.
      const std::int64_t limit = monotonicNanoseconds() + 2'000'000'000;
      while (!world.reformatRead.load() && monotonicNanoseconds() < limit) {
        if (!sleepUntil(monotonicNanoseconds() + 5'000'000, stream.stopped)) return;
      }
      if (!sleepUntil(monotonicNanoseconds() + 100'000'000, stream.stopped)) return;
      tone = ToneGenerator(script.reformat, script.toneHz, script.amplitude, script.framesPerBuffer);
      microphone = microphoneTone(script, script.reformat.sampleRate);
      nanosecondsPerBuffer = 1e9 * script.framesPerBuffer / script.reformat.sampleRate;
      paceStart = monotonicNanoseconds();
      paced = 0;
    }
    if (script.bufferCount && delivered == *script.bufferCount && !stream.switchAfter) return;
    if (script.realtime &&
        !sleepUntil(paceStart + std::int64_t(paced * nanosecondsPerBuffer), stream.stopped)) {
      return;
    }
    if (stream.stopped.load()) return;
    const bool mismatched =
        delivered >= script.mismatchFrom && delivered - script.mismatchFrom < script.mismatchCount;
    if (!script.processes.empty()) {
      // What plays is decided at each buffer, as a device mixes its clients.
      const double now = elapsedMs();
      std::vector<int> current = clientsAt(script.processes, now);
      if (current != clients) {
        propertyChanged(stream.world, *stream.trace, platform::kAudioObjectSystemObject,
                        platform::kAudioHardwarePropertyProcessObjectList);
      }
      clients = std::move(current);
      tone.setTones(stream.coverage->tones(script.processes, now));
    }
    const platform::AudioBufferList* heard = microphone.next();
    const bool joined = joinedMicrophoneLives(world, script);
    stream.block(extra.around(tone.next(mismatched), joined ? heard : nullptr));
  }
}

}  // namespace audiotap::platform::sim
