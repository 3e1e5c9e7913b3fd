#include "capture/core_audio_source.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/aggregate_device.h"
#include "capture/input_device.h"
#include "capture/output_device.h"
#include "platform/processes.h"

namespace audiotap::capture {

using platform::AudioObjectID;
using platform::SourceReport;

namespace {
// More buffers than any tap format has channels.
constexpr std::uint32_t kMostTapBuffers = 64;
// The silence that stands in for a lost microphone, in frames; a longer
// delivery is handed on in pieces of this.
constexpr std::uint32_t kSilenceFrames = 8192;
}  // namespace

// Hands on the tap's buffers alone: the aggregate device's lists carry its
// sub-devices' input streams (a headset's microphone) before the tap's. With
// the microphone, its first stream's buffer goes beside them. The slices lie
// in memory made at registration, so the IO thread allocates nothing.
struct TapSlice {
  struct List {
    std::uint32_t mNumberBuffers;
    platform::AudioBuffer mBuffers[kMostTapBuffers];
  };
  static_assert(offsetof(List, mBuffers) == offsetof(platform::AudioBufferList, mBuffers));

  platform::Delivery deliver;
  std::uint32_t first = 0;
  List list{};

  bool microphone = false;
  std::uint32_t microphoneStream = 0;
  std::uint32_t microphoneChannels = 1;
  // Set on the main thread; read by the IO thread.
  std::atomic<bool> microphoneLost{false};
  std::atomic<std::uint32_t> tapBuffers{1};
  std::atomic<std::uint32_t> tapBytesPerFrame{4};
  platform::AudioBufferList microphoneList{1, {}};
  std::vector<float> silence;
  List piece{};

  void setTapFormat(const platform::StreamDescription& format) {
    const bool planar = (format.mFormatFlags & platform::kAudioFormatFlagIsNonInterleaved) != 0;
    tapBuffers.store(planar ? format.mChannelsPerFrame : 1);
    tapBytesPerFrame.store(format.mBytesPerFrame);
  }

  static const platform::AudioBufferList* asList(const List& l) {
    return reinterpret_cast<const platform::AudioBufferList*>(&l);
  }

  void operator()(const platform::AudioBufferList* input) {
    if (microphone) return withMicrophone(input);
    if (input == nullptr || first == 0) return deliver(input, nullptr);
    const std::uint32_t count = input->mNumberBuffers > first ? input->mNumberBuffers - first : 0;
    // A list without the tap's stream, or an absurd one, hands on nothing.
    list.mNumberBuffers = count <= kMostTapBuffers ? count : 0;
    const platform::AudioBuffer* buffers = &input->mBuffers[0];
    for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) list.mBuffers[b] = buffers[first + b];
    deliver(asList(list), nullptr);
  }

  void withMicrophone(const platform::AudioBufferList* input) {
    const std::uint32_t count = input != nullptr ? input->mNumberBuffers : 0;
    const std::uint32_t expected = tapBuffers.load();
    // The tap's stream is the last, whatever else the list holds by now.
    const std::uint32_t taken = std::min({count, expected, kMostTapBuffers});
    list.mNumberBuffers = taken;
    const platform::AudioBuffer* buffers = input != nullptr ? &input->mBuffers[0] : nullptr;
    for (std::uint32_t b = 0; b < taken; ++b) list.mBuffers[b] = buffers[count - taken + b];
    const std::uint32_t bytesPerFrame = tapBytesPerFrame.load();
    const std::uint32_t frames =
        taken > 0 && bytesPerFrame > 0 ? list.mBuffers[0].mDataByteSize / bytesPerFrame : 0;
    const platform::AudioBufferList* output = input != nullptr ? asList(list) : nullptr;
    // The microphone's buffer is taken only from a list laid out as when the
    // capture began, and only when it holds as many frames as the tap's.
    if (!microphoneLost.load(std::memory_order_acquire) && count == first + expected) {
      const platform::AudioBuffer& heard = buffers[microphoneStream];
      if (heard.mData != nullptr && heard.mNumberChannels == microphoneChannels &&
          heard.mDataByteSize == frames * 4 * microphoneChannels) {
        microphoneList.mBuffers[0] = heard;
        return deliver(output, &microphoneList);
      }
    }
    if (frames <= kSilenceFrames) {
      microphoneList.mBuffers[0] = {microphoneChannels, frames * 4 * microphoneChannels, silence.data()};
      return deliver(output, &microphoneList);
    }
    for (std::uint32_t done = 0; done < frames;) {
      const std::uint32_t n = std::min(frames - done, kSilenceFrames);
      piece.mNumberBuffers = taken;
      for (std::uint32_t b = 0; b < taken; ++b) {
        piece.mBuffers[b] = {list.mBuffers[b].mNumberChannels, n * bytesPerFrame,
                             static_cast<char*>(list.mBuffers[b].mData) + std::size_t(done) * bytesPerFrame};
      }
      microphoneList.mBuffers[0] = {microphoneChannels, n * 4 * microphoneChannels, silence.data()};
      deliver(asList(piece), &microphoneList);
      done += n;
    }
  }
};

CoreAudioSource::CoreAudioSource(platform::Hal& hal, platform::Dispatch& dispatch,
                                 std::function<std::string()> makeUUID)
    : hal_(hal), dispatch_(dispatch), makeUUID_(std::move(makeUUID)) {}

CoreAudioSource::~CoreAudioSource() { close(std::chrono::steady_clock::now()); }

std::function<bool()> CoreAudioSource::currentBuild() {
  return [this, life = std::weak_ptr<char>(life_), build = build_] {
    return !life.expired() && open_ && build_ == build;
  };
}

void CoreAudioSource::report(SourceReport::Kind kind, const std::string& message,
                             std::optional<platform::OSStatus> status) {
  if (reporter_) reporter_(SourceReport{kind, message, status});
}

platform::OSStatus CoreAudioSource::listen(AudioObjectID object, std::uint32_t selector,
                                           std::function<void()> task, std::uint32_t scope) {
  if (!listenerQueue_) listenerQueue_ = dispatch_.makeSerialQueue("com.orvane.audiotap.listeners");
  platform::ListenerID id = 0;
  // The listener's queue only carries the work to the main queue; the source
  // itself may be gone by the time it runs.
  auto listener = [dispatch = &dispatch_, current = currentBuild(), task = std::move(task)] {
    dispatch->asyncOnMain([current, task] {
      if (current()) task();
    });
  };
  const platform::OSStatus status = hal_.addPropertyListener(
      object, {selector, scope, platform::kAudioObjectPropertyElementMain}, *listenerQueue_, listener, &id);
  if (status == 0) graph_.listeners.push_back(id);
  return status;
}

Result CoreAudioSource::watchSystem() {
  // A backend without the notification leaves it unwatched; so does a refusal,
  // which must not cost the capture itself.
  listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyServiceRestarted,
         [this] { report(SourceReport::Kind::SystemRestarted, kServiceRestarted); });
  if (!request_.followOutput) return std::nullopt;
  const platform::OSStatus status =
      listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultOutputDevice,
             [this] { report(SourceReport::Kind::DefaultOutputChanged); });
  if (status != 0) return Failure{kWatchFailed, status};
  // Watched even when this build has no microphone (none was beside the
  // output), so one that appears later is taken up. Without it the capture
  // keeps its microphone: not worth failing the output's capture for.
  listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyDefaultInputDevice,
         [this] { report(SourceReport::Kind::DefaultInputChanged); });
  return std::nullopt;
}

// Notifications can come for nothing: only a 0 read back is a loss. A device
// that went away may no longer answer at all, which counts as 0.
void CoreAudioSource::checkAlive(AudioObjectID object, const std::string& message) {
  if (object != graph_.aggregateID && object != graph_.outputDevice) return;
  std::uint32_t alive = 0;
  std::uint32_t size = sizeof alive;
  const auto address = platform::globalAddress(platform::kAudioDevicePropertyDeviceIsAlive);
  if (hal_.getPropertyData(object, address, &size, &alive) != 0 || alive == 0) {
    report(SourceReport::Kind::DeviceLost, message);
  }
}

// A microphone that no longer answers as alive, or whose streams have left
// the aggregate device, is lost for the rest of this build.
void CoreAudioSource::checkMicrophone() {
  if (microphoneLost_ || graph_.inputDevice == 0) return;
  std::uint32_t alive = 0;
  std::uint32_t size = sizeof alive;
  const auto address = platform::globalAddress(platform::kAudioDevicePropertyDeviceIsAlive);
  bool lost = hal_.getPropertyData(graph_.inputDevice, address, &size, &alive) != 0 || alive == 0;
  if (!lost) lost = findTapStream(hal_, graph_.aggregateID) < graph_.tapStream;
  if (!lost) return;
  microphoneLost_ = true;
  if (slice_) slice_->microphoneLost.store(true, std::memory_order_release);
  report(SourceReport::Kind::MicrophoneLost, platform::kMicrophoneLost);
}

void CoreAudioSource::tapFormatChanged() {
  if (graph_.tapID == 0) return;
  platform::StreamDescription format{};
  // A tap whose format cannot be read delivers nothing that can be converted.
  if (Result failed = readTapFormat(hal_, graph_.tapID, format)) {
    return report(SourceReport::Kind::DeviceLost, failed->message);
  }
  if (std::memcmp(&format, &format_, sizeof format) == 0) return;
  format_ = format;
  if (slice_) slice_->setTapFormat(format_);
  microphoneFormat_.mSampleRate = format_.mSampleRate;
  report(SourceReport::Kind::FormatChanged);
}

void CoreAudioSource::watchGraph() {
  listen(graph_.aggregateID, platform::kAudioDevicePropertyDeviceIsAlive,
         [this, aggregate = graph_.aggregateID] { checkAlive(aggregate, kAggregateDead); });
  listen(graph_.outputDevice, platform::kAudioDevicePropertyDeviceIsAlive,
         [this, device = graph_.outputDevice, uid = graph_.outputDeviceUID] {
           checkAlive(device, "the output device \"" + uid + "\" is no longer alive");
         });
  listen(graph_.tapID, platform::kAudioTapPropertyFormat, [this] { tapFormatChanged(); });
  // Here rather than with the system's listeners: a backend may watch the
  // audio clients only once the tap exists. The periodic pass keeps up
  // without it.
  if (filter_) {
    listen(platform::kAudioObjectSystemObject, platform::kAudioHardwarePropertyProcessObjectList,
           [this] { filter_->recheck(); });
  }
  if (graph_.microphone) {
    const auto check = [this] { checkMicrophone(); };
    listen(graph_.inputDevice, platform::kAudioDevicePropertyDeviceIsAlive, check);
    // Its streams leave the aggregate device when it goes, with or without
    // a 'livn' notification.
    listen(graph_.aggregateID, platform::kAudioDevicePropertyStreams, check,
           platform::kAudioObjectPropertyScopeWildcard);
  }
}

platform::SourceResult CoreAudioSource::open(const platform::CaptureRequest& request,
                                             platform::SourceReporter reporter) {
  ++build_;
  open_ = true;
  request_ = request;
  reporter_ = std::move(reporter);
  graph_.microphone = request.microphone;
  microphoneFormat_ = {};
  microphoneLost_ = false;
  if (request.filter == nullptr) {
    filter_.reset();
  } else if (!filter_ || &filter_->trees() != request.filter) {
    filter_ = std::make_shared<FilterUpdater>(
        FilterUpdater::Setup{&hal_, &dispatch_, platform::processTable().self(), &graph_,
                             [this, life = std::weak_ptr<char>(life_)] { return !life.expired() && open_; },
                             [this](const Failure& failure) {
                               report(SourceReport::Kind::Notice, failure.message, failure.status);
                             }},
        *request.filter);
  }
  if (filter_) {
    graph_.describeTap = [filter = filter_.get()](platform::Hal& hal,
                                                  std::unique_ptr<platform::TapDescription>& description) {
      return filter->describe(hal, description);
    };
  } else {
    graph_.describeTap = nullptr;
  }
  // The system's listeners come first, so that no change after the device
  // was read can go unseen.
  Result failed = watchSystem();
  if (!failed) failed = buildGraph(hal_, makeUUID_, graph_);
  if (!failed) failed = readTapFormat(hal_, graph_.tapID, format_);
  if (!failed && request.microphone)
    microphoneFormat_ = readMicrophoneFormat(hal_, graph_, format_.mSampleRate);
  if (failed) close(std::chrono::steady_clock::now());
  return failed;
}

platform::SourceResult CoreAudioSource::attach(platform::Queue& ioQueue, platform::Delivery deliver) {
  auto slice = std::make_shared<TapSlice>();
  slice->deliver = std::move(deliver);
  slice->first = graph_.tapStream;
  if (graph_.microphone) {
    slice->microphone = true;
    slice->microphoneStream = graph_.microphoneStream;
    slice->microphoneChannels = microphoneFormat_.mChannelsPerFrame;
    slice->microphoneLost = microphoneLost_;
    slice->setTapFormat(format_);
    slice->silence.assign(std::size_t(kSilenceFrames) * slice->microphoneChannels, 0.0f);
  }
  slice_ = slice;
  ioQueue_ = &ioQueue;
  if (Result failed = createIOProc(
          hal_, ioQueue, [slice](const platform::AudioBufferList* input) { (*slice)(input); }, graph_)) {
    return failed;
  }
  watchGraph();
  auto current = currentBuild();
  hal_.setDeviceLostHandler([dispatch = &dispatch_, current, this](const std::string& message) {
    dispatch->asyncOnMain([current, this, message] {
      if (current()) report(SourceReport::Kind::DeviceLost, message);
    });
  });
  hal_.setNoticeHandler([dispatch = &dispatch_, current, this](const std::string& message) {
    dispatch->asyncOnMain([current, this, message] {
      if (current()) report(SourceReport::Kind::Notice, message);
    });
  });
  return std::nullopt;
}

platform::SourceResult CoreAudioSource::start() {
  if (Result failed = startDevice(hal_, graph_)) return failed;
  if (filter_) filter_->start();
  return std::nullopt;
}

void CoreAudioSource::close(std::chrono::steady_clock::time_point deadline) {
  open_ = false;
  tearDown(hal_, graph_, ioQueue_, deadline);
  ioQueue_ = nullptr;
}

std::optional<std::string> CoreAudioSource::defaultOutputUID() {
  Graph probe;
  if (findDefaultOutputDevice(hal_, probe)) return std::nullopt;
  return probe.outputDeviceUID;
}

std::optional<std::string> CoreAudioSource::defaultInputUID() {
  Graph probe;
  if (findDefaultInputDevice(hal_, probe)) return std::nullopt;
  return probe.inputDeviceUID;
}

bool CoreAudioSource::tappedProcessPlays() {
  return capture::tappedProcessPlays(hal_, request_.filter, platform::processTable().self());
}

std::unique_ptr<platform::CaptureSource> makeSource(platform::Platform& platform) {
  if (auto own = platform.makeCaptureSource()) return own;
  return std::make_unique<CoreAudioSource>(*platform.coreAudioHal(), platform.dispatch(),
                                           [&platform] { return platform.randomUUIDString(); });
}

}  // namespace audiotap::capture
