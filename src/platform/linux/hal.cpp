#include "platform/linux/hal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/linux/pulse_capture.h"
#include "platform/linux/pulse_filter.h"
#include "platform/linux/pulse_session.h"

namespace audiotap::platform::linux {

namespace {

constexpr AudioObjectID kFirstSinkID = 0x100;
constexpr AudioObjectID kTapID = fourCharCode("ptap");
constexpr AudioObjectID kAggregateID = fourCharCode("pagg");
constexpr OSStatus kUnknownPropertyError = OSStatus(fourCharCode("who?"));
constexpr auto kSetupLimit = std::chrono::seconds(5);
// The one listener of the audio clients; the default sink's get small numbers.
constexpr ListenerID kClientsListenerID = ~ListenerID(0);

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

// The listeners of the system object's 'dOut'. The sessions' watchers call
// notify() from whichever thread iterates their loop.
class DefaultSinkListeners {
 public:
  ListenerID add(Queue& queue, PropertyListener listener) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::make_shared<Entry>(next_, &queue, std::move(listener)));
    return next_++;
  }

  bool remove(ListenerID id) {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if ((*it)->id != id) continue;
      (*it)->live.store(false);
      entries_.erase(it);
      return true;
    }
    return false;
  }

  void notify() {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_) {
      // One removed after this was posted must not begin.
      entry->queue->async([entry] {
        if (entry->live.load()) entry->listener();
      });
    }
  }

 private:
  struct Entry {
    Entry(ListenerID id, Queue* queue, PropertyListener listener)
        : id(id), queue(queue), listener(std::move(listener)) {}
    const ListenerID id;
    Queue* const queue;
    const PropertyListener listener;
    std::atomic<bool> live{true};
  };

  std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ListenerID next_ = 1;
};

// One graph at a time, built again as often as the core tears it down: each
// build connects afresh (after a teardown or a failed read) and reads the
// default sink anew.
class PulseHal final : public Hal {
 public:
  OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t* dataSize,
                           void* data) override {
    if (dataSize == nullptr || data == nullptr) return PA_ERR_INVALID;
    if (object == kAudioObjectSystemObject &&
        address.mSelector == kAudioHardwarePropertyDefaultOutputDevice) {
      if (*dataSize < sizeof(AudioObjectID)) return PA_ERR_INVALID;
      std::optional<SinkInfo> found;
      OSStatus status = 0;
      if (capturing()) {
        // The serving task owns the session's loop: ask over a connection of
        // our own.
        Session probe(kSetupLimit);
        found = probe.defaultSink();
        if (!found) status = probe.lastError();
      } else {
        found = session().defaultSink();
        if (!found) {
          status = session_->lastError();
          // No server, no device: the connection has nothing more to give.
          session_.reset();
        }
      }
      if (!found) return status;
      reported_ = std::move(*found);
      const AudioObjectID device = kFirstSinkID + reported_->index;
      std::memcpy(data, &device, sizeof device);
      *dataSize = sizeof device;
      return 0;
    }
    if (address.mSelector == kAudioDevicePropertyDeviceUID && reported_ &&
        object == kFirstSinkID + reported_->index) {
      if (*dataSize < sizeof(StringRef)) return PA_ERR_INVALID;
      StringRef uid = new std::string(reported_->name);
      std::memcpy(data, &uid, sizeof uid);
      *dataSize = sizeof uid;
      return 0;
    }
    if (address.mSelector == kAudioTapPropertyFormat && object == kTapID && tapSink_) {
      if (*dataSize < sizeof(StreamDescription)) return PA_ERR_INVALID;
      StreamDescription format{};
      format.mSampleRate = double(tapSink_->rate);
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
    if (tap != kTapID || !tapSink_) return PA_ERR_NOENTITY;
    const auto& ours = static_cast<PulseTapDescription&>(description);
    if (!filter_ || !ours.filtered()) return PA_ERR_NOTSUPPORTED;
    filter_->want(ours.include, ours.listed);
    return 0;
  }

  OSStatus createProcessTap(TapDescription& description, AudioObjectID* tap) override {
    if (tap == nullptr) return PA_ERR_INVALID;
    if (tapSink_ || capture_) return PA_ERR_EXIST;
    // A monitor source cannot silence the sink it listens to.
    if (static_cast<PulseTapDescription&>(description).muteBehavior() != 0) return PA_ERR_NOTSUPPORTED;
    reapRetired();
    if (!reported_) {
      std::optional<SinkInfo> found = session().defaultSink();
      if (!found) return session_->lastError();
      reported_ = std::move(*found);
    }
    if (reported_->monitorSource.empty()) return PA_ERR_NOENTITY;
    if (!session().sourceExists(reported_->monitorSource)) return session_->lastError();
    tapUUID_ = description.uuidString();
    tapSink_ = reported_;
    const auto& ours = static_cast<PulseTapDescription&>(description);
    filtered_ = ours.filtered();
    wantInclude_ = ours.include;
    wantListed_ = ours.listed;
    *tap = kTapID;
    return 0;
  }

  OSStatus destroyProcessTap(AudioObjectID tap) override {
    if (tap != kTapID || !tapSink_) return PA_ERR_NOENTITY;
    tapSink_.reset();
    releaseCapture();
    session_.reset();
    return 0;
  }

  OSStatus createAggregateDevice(const Dictionary& description, AudioObjectID* device) override {
    if (device == nullptr) return PA_ERR_INVALID;
    if (!tapSink_) return PA_ERR_BADSTATE;
    if (capture_) return PA_ERR_EXIST;
    const std::string* main = stringAt(description, kAggregateMainSubDeviceKey);
    if (main == nullptr || *main != tapSink_->name || !namesTap(description, tapUUID_))
      return PA_ERR_NOENTITY;
    const std::string* name = stringAt(description, kAggregateNameKey);
    pa_stream* stream = Capture::makeStream(session(), name != nullptr ? *name : "audiotap",
                                            tapSink_->monitorSource, tapSink_->rate);
    if (stream == nullptr) return pa_context_errno(session_->context());
    if (filtered_) {
      filter_ = std::make_unique<Filter>(*session_, tapSink_->index, tapSink_->monitorSource,
                                         *pa_stream_get_sample_spec(stream), *pa_stream_get_channel_map(stream));
      filter_->seed(clients_);
      filter_->want(wantInclude_, wantListed_);
    }
    capture_ = std::make_unique<Capture>(*session_, stream, *tapSink_);
    if (filter_) {
      capture_->setFragmentHook([filter = filter_.get()](float* interleaved, std::uint32_t frames,
                                                         std::uint32_t channels) {
        filter->mix(interleaved, frames, channels);
      });
    }
    started_ = false;
    *device = kAggregateID;
    return 0;
  }

  OSStatus destroyAggregateDevice(AudioObjectID device) override {
    if (device != kAggregateID || !capture_) return PA_ERR_NOENTITY;
    releaseCapture();
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
    if (filter_) filter_->setNoticeHandler(notice_);
    Capture::LostHandler lost;
    if (lost_) lost = [lost = lost_](bool, const std::string& message) { lost(message); };
    return capture_->start(*queue_, std::move(block_), std::move(lost), notice_);
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
    block_ = nullptr;
    return 0;
  }

  // The default sink, and the audio clients of a filtered capture, can be
  // watched: the loss of the tapped sink or of the server already reaches the
  // core through the lost handler.
  OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address, Queue& queue,
                               PropertyListener listener, ListenerID* id) override {
    if (id == nullptr || !listener) return PA_ERR_INVALID;
    if (object == kAudioObjectSystemObject && address.mSelector == kAudioHardwarePropertyProcessObjectList) {
      if (!filter_) return kAudioHardwareUnsupportedOperationError;
      filter_->setListener([&queue, listener = std::move(listener)] { queue.async(listener); });
      *id = kClientsListenerID;
      return 0;
    }
    if (object != kAudioObjectSystemObject ||
        address.mSelector != kAudioHardwarePropertyDefaultOutputDevice) {
      return kAudioHardwareUnsupportedOperationError;
    }
    *id = listeners_->add(queue, std::move(listener));
    return 0;
  }

  OSStatus removePropertyListener(ListenerID id) override {
    if (id == kClientsListenerID) {
      if (!filter_) return PA_ERR_NOENTITY;
      filter_->setListener(nullptr);
      return 0;
    }
    return listeners_->remove(id) ? 0 : PA_ERR_NOENTITY;
  }

  void setDeviceLostHandler(std::function<void(const std::string& message)> handler) override {
    lost_ = std::move(handler);
  }

  void setNoticeHandler(std::function<void(const std::string& message)> handler) override {
    notice_ = std::move(handler);
  }

 private:
  struct Retired {
    std::unique_ptr<Session> session;
    std::unique_ptr<Filter> filter;    // its capture's hook uses it
    std::unique_ptr<Capture> capture;  // destroyed first
  };

  // Every connection subscribes, so a change of the default sink is seen
  // while the capture runs, whoever registers for it and whenever.
  Session& session() {
    if (!session_)
      session_ = std::make_unique<Session>(kSetupLimit, [listeners = listeners_] { listeners->notify(); });
    return *session_;
  }

  // Whether a serving task owns the session's loop.
  bool capturing() const { return capture_ && !capture_->finished(); }

  void releaseCapture() {
    if (!capture_) return;
    if (capture_->finished()) {
      capture_.reset();
      filter_.reset();
      return;
    }
    // Its task has not let go of the connection yet (stuck in a write nobody
    // reads): the capture and its session live on until it has, and the next
    // build connects afresh.
    retired_.push_back({std::move(session_), std::move(filter_), std::move(capture_)});
  }

  void reapRetired() {
    std::erase_if(retired_, [](const Retired& r) { return r.capture->finished(); });
  }

  std::shared_ptr<DefaultSinkListeners> listeners_ = std::make_shared<DefaultSinkListeners>();
  std::unique_ptr<Session> session_;
  std::optional<SinkInfo> reported_;  // the last default sink read
  std::optional<SinkInfo> tapSink_;   // the sink whose monitor the tap reads
  std::string tapUUID_;
  // Before the capture: the sink inputs as read at start-up.
  OSStatus readClients(bool newPass) {
    if (filter_ && started_) {
      clients_ = filter_->clients(newPass);
      return 0;
    }
    // Before the tap exists its sink is the default sink last read.
    const std::optional<SinkInfo>& sink = tapSink_ ? tapSink_ : reported_;
    if (started_ || !sink) return PA_ERR_BADSTATE;
    auto found = listSinkInputs(session(), sink->index);
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
  std::vector<Retired> retired_;
  Queue* queue_ = nullptr;
  IOBlock block_;
  bool started_ = false;
  std::function<void(const std::string&)> lost_, notice_;
};

}  // namespace

std::unique_ptr<Hal> makePulseHal() { return std::make_unique<PulseHal>(); }

}  // namespace audiotap::platform::linux
