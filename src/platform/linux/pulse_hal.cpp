#include "platform/linux/pulse_hal.h"

#include <cstring>
#include <utility>

#include "platform/linux/pulse_capture.h"
#include "platform/linux/pulse_filter.h"
#include "platform/linux/pulse_session.h"

namespace audiotap::platform::pulse {

namespace {

constexpr AudioObjectID kFirstSinkID = 0x100;
constexpr AudioObjectID kTapID = fourCharCode("ptap");
constexpr AudioObjectID kAggregateID = fourCharCode("pagg");
constexpr OSStatus kUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr auto kSetupLimit = std::chrono::seconds(5);

class PulseTapDescription final : public TapDescription {
 public:
  void setName(const std::string& name) override { name_ = name; }
  void setUUID(const std::string& uuid) override { uuid_ = uuid; }
  std::string uuidString() const override { return uuid_; }
  void setPrivate(bool) override {}
  void setMuteBehavior(int behavior) override { muteBehavior_ = behavior; }
  int muteBehavior() const { return muteBehavior_; }
  void setFiltered(bool filtered) override { filtered_ = filtered; }

  // The processes: those listed (include) or all but those.
  bool include = false;
  std::vector<AudioObjectID> listed;
  bool filtered() const { return filtered_ || include || !listed.empty(); }

 private:
  std::string name_;
  std::string uuid_;
  int muteBehavior_ = 0;
  bool filtered_ = false;
};

const std::string* stringAt(const Dictionary& dictionary, const char* key) {
  const Value* value = find(dictionary, key);
  return value != nullptr ? value->get<std::string>() : nullptr;
}

// The one sub-tap of the description must be ours.
bool namesTap(const Dictionary& description, const std::string& tapUUID) {
  const Value* taps = find(description, kAggregateTapListKey);
  const Array* list = taps != nullptr ? taps->get<Array>() : nullptr;
  if (list == nullptr || list->size() != 1) return false;
  const Dictionary* subTap = (*list)[0].get<Dictionary>();
  const std::string* uid = subTap != nullptr ? stringAt(*subTap, kSubTapUIDKey) : nullptr;
  return uid != nullptr && *uid == tapUUID;
}

class PulseHal final : public Hal {
 public:
  PulseHal() : session_(std::make_unique<Session>(kSetupLimit)) {}

  OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t* dataSize,
                           void* data) override {
    if (dataSize == nullptr || data == nullptr) return PA_ERR_INVALID;
    if (object == kAudioObjectSystemObject &&
        address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
      if (*dataSize < sizeof(AudioObjectID)) return PA_ERR_INVALID;
      std::optional<SinkInfo> found = session_ ? session_->defaultSink() : std::nullopt;
      if (!found) {
        const OSStatus status = session_ ? session_->lastError() : PA_ERR_BADSTATE;
        // No server, no device: the connection has nothing more to give.
        session_.reset();
        return status;
      }
      sink_ = std::move(*found);
      const AudioObjectID device = kFirstSinkID + sink_->index;
      std::memcpy(data, &device, sizeof device);
      *dataSize = sizeof device;
      return 0;
    }
    if (address.mSelector == kAudioDevicePropertyDeviceUID && isSink(object)) {
      if (*dataSize < sizeof(StringRef)) return PA_ERR_INVALID;
      StringRef uid = new std::string(sink_->name);
      std::memcpy(data, &uid, sizeof uid);
      *dataSize = sizeof uid;
      return 0;
    }
    if (address.mSelector == kAudioTapPropertyFormat && object == kTapID && tapMade_) {
      if (*dataSize < sizeof(StreamDescription)) return PA_ERR_INVALID;
      StreamDescription format{};
      format.mSampleRate = double(sink_->rate);
      format.mFormatID = kAudioFormatLinearPCM;
      format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
      format.mBytesPerPacket = sizeof(float);
      format.mFramesPerPacket = 1;
      format.mBytesPerFrame = sizeof(float);
      format.mChannelsPerFrame = 1;
      format.mBitsPerChannel = 32;
      std::memcpy(data, &format, sizeof format);
      *dataSize = sizeof format;
      return 0;
    }
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      const OSStatus status = readClients(false);
      if (status != 0) return status;
      const std::uint32_t count = std::min<std::uint32_t>(*dataSize / sizeof(AudioObjectID), clients_.size());
      for (std::uint32_t i = 0; i < count; ++i) {
        const AudioObjectID id = kFirstSinkInputID + clients_[i].index;
        std::memcpy(static_cast<char*>(data) + i * sizeof id, &id, sizeof id);
      }
      *dataSize = count * sizeof(AudioObjectID);
      return 0;
    }
    if (address.mSelector == kAudioProcessPropertyPID && object >= kFirstSinkInputID) {
      if (*dataSize < sizeof(std::int32_t)) return PA_ERR_INVALID;
      for (const auto& client : clients_) {
        if (kFirstSinkInputID + client.index != object) continue;
        std::memcpy(data, &client.pid, sizeof client.pid);
        *dataSize = sizeof client.pid;
        return 0;
      }
      return PA_ERR_NOENTITY;
    }
    return kUnknownPropertyError;
  }

  std::optional<std::string> copyString(StringRef string) override {
    if (string == nullptr) return std::nullopt;
    return *static_cast<const std::string*>(string);
  }

  void releaseString(StringRef string) override { delete static_cast<const std::string*>(string); }

  std::unique_ptr<TapDescription> makeMonoGlobalTapButExcludeProcesses(
      const std::vector<AudioObjectID>& excluded) override {
    auto description = std::make_unique<PulseTapDescription>();
    description->listed = excluded;
    return description;
  }

  std::unique_ptr<TapDescription> makeMonoMixdownOfProcesses(const std::vector<AudioObjectID>& processes) override {
    auto description = std::make_unique<PulseTapDescription>();
    description->include = true;
    description->listed = processes;
    return description;
  }

  // The sink inputs of the tapped sink: read from the server while start-up
  // owns the connection, then as the filter last saw them.
  OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address, std::uint32_t, const void*,
                               std::uint32_t* dataSize) override {
    if (object != kAudioObjectSystemObject || address.mSelector != kAudioHardwarePropertyProcessObjectList) {
      return kUnknownPropertyError;
    }
    if (dataSize == nullptr) return PA_ERR_INVALID;
    // A pass of the core begins with the size.
    const OSStatus status = readClients(true);
    if (status == 0) *dataSize = std::uint32_t(clients_.size() * sizeof(AudioObjectID));
    return status;
  }

  OSStatus setTapDescription(AudioObjectID tap, TapDescription& description) override {
    if (tap != kTapID || !tapMade_) return PA_ERR_NOENTITY;
    const auto& ours = static_cast<PulseTapDescription&>(description);
    if (!filter_ || !ours.filtered()) return PA_ERR_NOTSUPPORTED;
    filter_->want(ours.include, ours.listed);
    return 0;
  }

  OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address, Queue& queue,
                               PropertyListener listener, ListenerID* id) override {
    if (object != kAudioObjectSystemObject || address.mSelector != kAudioHardwarePropertyProcessObjectList) {
      return kUnknownPropertyError;
    }
    if (!filter_ || id == nullptr) return kAudioHardwareUnsupportedOperationError;
    filter_->setListener(&queue, std::move(listener));
    *id = 1;
    return 0;
  }

  OSStatus removePropertyListener(ListenerID id) override {
    if (id != 1 || !filter_) return PA_ERR_NOENTITY;
    filter_->setListener(nullptr, nullptr);
    return 0;
  }

  OSStatus createProcessTap(TapDescription& description, AudioObjectID* tap) override {
    if (tap == nullptr) return PA_ERR_INVALID;
    if (tapMade_) return PA_ERR_EXIST;
    // A monitor source cannot silence the sink it listens to.
    if (static_cast<PulseTapDescription&>(description).muteBehavior() != 0) return PA_ERR_NOTSUPPORTED;
    if (!session_) return PA_ERR_BADSTATE;
    if (!sink_) {
      std::optional<SinkInfo> found = session_->defaultSink();
      if (!found) return session_->lastError();
      sink_ = std::move(*found);
    }
    if (sink_->monitorSource.empty()) return PA_ERR_NOENTITY;
    if (!session_->sourceExists(sink_->monitorSource)) return session_->lastError();
    tapUUID_ = description.uuidString();
    tapMade_ = true;
    const auto& ours = static_cast<PulseTapDescription&>(description);
    filtered_ = ours.filtered();
    wantInclude_ = ours.include;
    wantListed_ = ours.listed;
    *tap = kTapID;
    return 0;
  }

  OSStatus destroyProcessTap(AudioObjectID tap) override {
    if (tap != kTapID || !tapMade_) return PA_ERR_NOENTITY;
    tapMade_ = false;
    if (capture_ && !capture_->finished()) return 0;
    capture_.reset();
    filter_.reset();
    session_.reset();
    return 0;
  }

  OSStatus createAggregateDevice(const Dictionary& description, AudioObjectID* device) override {
    if (device == nullptr) return PA_ERR_INVALID;
    if (!tapMade_) return PA_ERR_BADSTATE;
    if (capture_) return PA_ERR_EXIST;
    const std::string* main = stringAt(description, kAggregateMainSubDeviceKey);
    if (main == nullptr || *main != sink_->name || !namesTap(description, tapUUID_)) return PA_ERR_NOENTITY;
    const std::string* name = stringAt(description, kAggregateNameKey);
    pa_stream* stream =
        Capture::makeStream(*session_, name != nullptr ? *name : "audiotap", sink_->monitorSource, sink_->rate);
    if (stream == nullptr) return pa_context_errno(session_->context());
    if (filtered_) {
      filter_ = std::make_unique<Filter>(*session_, sink_->index, sink_->monitorSource,
                                         *pa_stream_get_sample_spec(stream), *pa_stream_get_channel_map(stream));
      filter_->seed(clients_);
      filter_->want(wantInclude_, wantListed_);
    }
    capture_ = std::make_unique<Capture>(*session_, stream, sink_->monitorSource, sink_->rate);
    if (filter_) {
      capture_->setFragmentHook([filter = filter_.get()](float* interleaved, std::uint32_t frames,
                                                         std::uint32_t channels) {
        filter->mix(interleaved, frames, channels);
      });
    }
    *device = kAggregateID;
    return 0;
  }

  OSStatus destroyAggregateDevice(AudioObjectID device) override {
    if (device != kAggregateID || !capture_) return PA_ERR_NOENTITY;
    // Only once the serving task has let go of the connection; otherwise the
    // process is on its way out and the stream is left to it.
    if (capture_->finished()) {
      capture_.reset();
      filter_.reset();
    }
    return 0;
  }

  OSStatus createIOProcIDWithBlock(IOProcID* procID, AudioObjectID device, Queue& queue,
                                   IOBlock block) override {
    if (procID == nullptr || !block) return PA_ERR_INVALID;
    if (device != kAggregateID || !capture_) return PA_ERR_NOENTITY;
    if (queue_ != nullptr) return PA_ERR_EXIST;
    queue_ = &queue;
    block_ = std::move(block);
    *procID = this;
    return 0;
  }

  OSStatus deviceStart(AudioObjectID device, IOProcID procID) override {
    if (device != kAggregateID || !capture_ || procID != this || queue_ == nullptr) return PA_ERR_NOENTITY;
    if (started_) return PA_ERR_BADSTATE;
    started_ = true;
    return capture_->start(*queue_, std::move(block_), lost_);
  }

  OSStatus deviceStop(AudioObjectID device, IOProcID procID) override {
    if (device != kAggregateID || !capture_ || procID != this) return PA_ERR_NOENTITY;
    capture_->stop();
    return 0;
  }

  OSStatus destroyIOProcID(AudioObjectID device, IOProcID procID) override {
    if (device != kAggregateID || procID != this || queue_ == nullptr) return PA_ERR_NOENTITY;
    // The block itself moved into the capture at start and stays alive with
    // it: a call may still be finishing on the queue.
    if (capture_) capture_->stop();
    queue_ = nullptr;
    return 0;
  }

  void setDeviceLostHandler(std::function<void(const std::string& message)> handler) override {
    lost_ = std::move(handler);
  }

 private:
  bool isSink(AudioObjectID object) const { return sink_ && object == kFirstSinkID + sink_->index; }

  std::unique_ptr<Session> session_;
  std::optional<SinkInfo> sink_;
  bool tapMade_ = false;
  std::string tapUUID_;
  // Before the capture: the sink inputs as read at start-up.
  OSStatus readClients(bool newPass) {
    if (filter_ && started_) {
      clients_ = filter_->clients(newPass);
      return 0;
    }
    if (started_ || !session_ || !sink_) return PA_ERR_BADSTATE;
    auto found = listSinkInputs(*session_, sink_->index);
    if (!found) return session_->lastError();
    clients_ = std::move(*found);
    return 0;
  }

  std::vector<SinkInput> clients_;
  bool filtered_ = false;
  bool wantInclude_ = false;
  std::vector<AudioObjectID> wantListed_;
  // Declared before the capture, so the capture (whose hook uses it) goes first.
  std::unique_ptr<Filter> filter_;
  std::unique_ptr<Capture> capture_;
  Queue* queue_ = nullptr;
  IOBlock block_;
  bool started_ = false;
  std::function<void(const std::string&)> lost_;
};

}  // namespace

std::unique_ptr<Hal> makePulseHal() { return std::make_unique<PulseHal>(); }

}  // namespace audiotap::platform::pulse
