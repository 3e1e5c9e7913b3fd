#include "capture/core_audio_source.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "capture/aggregate_device.h"
#include "capture/output_device.h"
#include "platform/processes.h"

namespace audiotap::capture {

using platform::AudioObjectID;
using platform::SourceReport;

namespace {

// More buffers than any tap format has channels.
constexpr std::uint32_t kMostTapBuffers = 64;

// Hands on the tap's buffers alone: the aggregate device's lists carry its
// sub-devices' input streams (a headset's microphone) before the tap's. The
// slice lies in memory made at registration, so the IO thread allocates
// nothing.
struct TapSlice {
  struct List {
    std::uint32_t mNumberBuffers;
    platform::AudioBuffer mBuffers[kMostTapBuffers];
  };
  static_assert(offsetof(List, mBuffers) == offsetof(platform::AudioBufferList, mBuffers));

  platform::Delivery deliver;
  std::uint32_t first = 0;
  List list{};

  void operator()(const platform::AudioBufferList* input) {
    if (input == nullptr || first == 0) return deliver(input, nullptr);
    const std::uint32_t count = input->mNumberBuffers > first ? input->mNumberBuffers - first : 0;
    // A list without the tap's stream, or an absurd one, hands on nothing.
    list.mNumberBuffers = count <= kMostTapBuffers ? count : 0;
    const platform::AudioBuffer* buffers = &input->mBuffers[0];
    for (std::uint32_t b = 0; b < list.mNumberBuffers; ++b) list.mBuffers[b] = buffers[first + b];
    deliver(reinterpret_cast<const platform::AudioBufferList*>(&list), nullptr);
  }
};

}  // namespace

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
                                           std::function<void()> task) {
  if (!listenerQueue_) listenerQueue_ = dispatch_.makeSerialQueue("com.orvane.audiotap.listeners");
  platform::ListenerID id = 0;
  // The listener's queue only carries the work to the main queue; the source
  // itself may be gone by the time it runs.
  auto listener = [dispatch = &dispatch_, current = currentBuild(), task = std::move(task)] {
    dispatch->asyncOnMain([current, task] {
      if (current()) task();
    });
  };
  const platform::OSStatus status =
      hal_.addPropertyListener(object, platform::globalAddress(selector), *listenerQueue_, listener, &id);
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

void CoreAudioSource::tapFormatChanged() {
  if (graph_.tapID == 0) return;
  platform::StreamDescription format{};
  // A tap whose format cannot be read delivers nothing that can be converted.
  if (Result failed = readTapFormat(hal_, graph_.tapID, format)) {
    return report(SourceReport::Kind::DeviceLost, failed->message);
  }
  if (std::memcmp(&format, &format_, sizeof format) == 0) return;
  format_ = format;
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
}

platform::SourceResult CoreAudioSource::open(const platform::CaptureRequest& request,
                                             platform::SourceReporter reporter) {
  ++build_;
  open_ = true;
  request_ = request;
  reporter_ = std::move(reporter);
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
  if (failed) close(std::chrono::steady_clock::now());
  return failed;
}

platform::SourceResult CoreAudioSource::attach(platform::Queue& ioQueue, platform::Delivery deliver) {
  auto slice = std::make_shared<TapSlice>();
  slice->deliver = std::move(deliver);
  slice->first = graph_.tapStream;
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

bool CoreAudioSource::tappedProcessPlays() {
  return capture::tappedProcessPlays(hal_, request_.filter, platform::processTable().self());
}

std::unique_ptr<platform::CaptureSource> makeSource(platform::Platform& platform) {
  if (auto own = platform.makeCaptureSource()) return own;
  return std::make_unique<CoreAudioSource>(*platform.coreAudioHal(), platform.dispatch(),
                                           [&platform] { return platform.randomUUIDString(); });
}

}  // namespace audiotap::capture
