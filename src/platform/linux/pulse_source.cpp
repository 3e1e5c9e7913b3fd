#include "platform/linux/pulse_source.h"

#include <algorithm>
#include <utility>

#include "platform/linux/pulse_capture.h"
#include "platform/linux/pulse_filter.h"

namespace audiotap::platform::linux {

namespace {

constexpr auto kSetupLimit = std::chrono::seconds(5);
constexpr const char* kStreamName = "Orvane Tap";
constexpr const char* kMicStreamName = "Orvane Tap microphone";

// The words hosts already know for each step, on every platform.
constexpr const char* kNoDefaultOutput = "no default output device";
constexpr const char* kClientsUnreadable = "could not read the list of audio processes";
constexpr const char* kMonitorFailed =
    "AudioHardwareCreateProcessTap failed — this usually means audio-capture permission has not been granted "
    "to the host app.";
constexpr const char* kStreamFailed = "AudioHardwareCreateAggregateDevice failed";
constexpr const char* kAttachFailed = "AudioDeviceCreateIOProcIDWithBlock failed";
constexpr const char* kStartFailed = "AudioDeviceStart failed";

SourceFailure failure(const char* message, std::optional<std::int32_t> status = std::nullopt) {
  return SourceFailure{message, status};
}

}  // namespace

struct PulseSource::Retired {
  std::unique_ptr<Session> session;
  std::unique_ptr<Filter> filter;
  std::unique_ptr<Capture> capture;  // destroyed first
};

void PulseSource::Reports::open(SourceReporter reporter) {
  MutexLock lock(mutex_);
  reporter_ = std::move(reporter);
}

void PulseSource::Reports::close() {
  MutexLock lock(mutex_);
  reporter_ = nullptr;
}

// Held while the report runs: close() returns only once it has.
void PulseSource::Reports::report(SourceReport::Kind kind, const std::string& message) {
  MutexLock lock(mutex_);
  if (reporter_) reporter_(SourceReport{kind, message});
}

PulseSource::PulseSource(Dispatch& dispatch) : dispatch_(dispatch) {}

PulseSource::~PulseSource() { close(std::chrono::steady_clock::now()); }

SourceResult PulseSource::open(const CaptureRequest& request, SourceReporter reporter) {
  std::erase_if(retired_, [](const Retired& r) { return r.capture->finished(); });
  request_ = request;
  // A fresh one each time: a retired capture still holds the last.
  reports_ = std::make_shared<Reports>();
  reports_->open(std::move(reporter));
  Session::DefaultSinkWatcher watcher;
  std::function<void()> inputWatcher;
  if (request.followOutput) {
    watcher = [reports = reports_] { reports->report(SourceReport::Kind::DefaultOutputChanged); };
    // Also without a microphone in this capture: one that appears is taken up.
    inputWatcher = [reports = reports_] { reports->report(SourceReport::Kind::DefaultInputChanged); };
  }
  session_ = std::make_unique<Session>(kSetupLimit, std::move(watcher), std::move(inputWatcher));
  sink_ = session_->defaultSink();
  if (!sink_) {
    release();
    return failure(kNoDefaultOutput);
  }
  std::optional<std::vector<SinkInput>> clients;
  if (request.filter != nullptr) {
    clients = listSinkInputs(*session_, sink_->index);
    if (!clients) {
      const int error = session_->lastError();
      release();
      return failure(kClientsUnreadable, error);
    }
  }
  std::optional<std::string> microphone;
  if (request.microphone) {
    microphone = session_->defaultMicrophone();
    if (!microphone) {
      release();
      return failure(kNoMicrophone);
    }
  }
  if (sink_->monitorSource.empty() || !session_->sourceExists(sink_->monitorSource)) {
    const int error = sink_->monitorSource.empty() ? PA_ERR_NOENTITY : session_->lastError();
    release();
    return failure(kMonitorFailed, error);
  }
  pa_stream* stream = Capture::makeStream(*session_, kStreamName, sink_->monitorSource, sink_->rate);
  if (stream == nullptr) {
    const int error = pa_context_errno(session_->context());
    release();
    return failure(kStreamFailed, error);
  }
  if (request.filter != nullptr) {
    filter_ =
        std::make_unique<Filter>(*session_, sink_->index, sink_->monitorSource,
                                 *pa_stream_get_sample_spec(stream), *pa_stream_get_channel_map(stream));
    filter_->seed(*clients);
    link_ = std::make_shared<Link>(Link{this});
    filter_->setListener([link = link_, &dispatch = dispatch_] {
      dispatch.asyncOnMain([link] {
        if (link->source != nullptr) link->source->decide();
      });
    });
    decide();
  }
  capture_ = std::make_unique<Capture>(*session_, stream, *sink_);
  if (microphone) {
    pa_stream* mic = Capture::makeStream(*session_, kMicStreamName, *microphone, sink_->rate);
    if (mic == nullptr) {
      const int error = pa_context_errno(session_->context());
      release();
      return failure(kStreamFailed, error);
    }
    capture_->addMicrophone(mic, *microphone, [reports = reports_] {
      reports->report(SourceReport::Kind::MicrophoneLost, kMicrophoneLost);
    });
    microphone_ = std::move(*microphone);
  }
  if (filter_) {
    capture_->setFragmentHook(
        [filter = filter_.get()](float* interleaved, std::uint32_t frames, std::uint32_t channels) {
          filter->mix(interleaved, frames, channels);
        });
  }
  return std::nullopt;
}

// The sink inputs as the filter last listed them, each mixed only once a pass
// here has placed it, so a new player of an excluded tree is never heard.
void PulseSource::decide() {
  if (!filter_ || request_.filter == nullptr) return;
  ProcessFilter& trees = *request_.filter;
  trees.refresh();
  std::vector<std::uint32_t> heard;
  for (const SinkInput& client : filter_->clients()) {
    // A client whose PID is unknown is in no tree.
    if (client.pid > 0 ? trees.heard(client.pid) : trees.includeRoots().empty())
      heard.push_back(client.index);
  }
  filter_->want(std::move(heard));
}

std::string PulseSource::deviceUID() const { return sink_ ? sink_->name : std::string(); }

std::string PulseSource::inputDeviceUID() const { return microphone_; }

StreamDescription PulseSource::microphoneFormat() const {
  return microphone_.empty() ? StreamDescription{} : format();
}

StreamDescription PulseSource::format() const {
  StreamDescription format{};
  format.mSampleRate = sink_ ? double(sink_->rate) : 0;
  format.mFormatID = kAudioFormatLinearPCM;
  format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  format.mBytesPerPacket = sizeof(float);
  format.mFramesPerPacket = 1;
  format.mBytesPerFrame = sizeof(float);
  format.mChannelsPerFrame = 1;
  format.mBitsPerChannel = 32;
  return format;
}

SourceResult PulseSource::attach(Queue& ioQueue, Delivery deliver) {
  if (!capture_ || started_ || ioQueue_ != nullptr || !deliver)
    return failure(kAttachFailed, PA_ERR_BADSTATE);
  ioQueue_ = &ioQueue;
  deliver_ = std::move(deliver);
  return std::nullopt;
}

SourceResult PulseSource::start() {
  if (!capture_ || ioQueue_ == nullptr || started_) return failure(kStartFailed, PA_ERR_BADSTATE);
  started_ = true;
  auto reports = reports_;
  if (filter_) {
    filter_->setNoticeHandler(
        [reports](const std::string& message) { reports->report(SourceReport::Kind::Notice, message); });
  }
  const int status = capture_->start(
      *ioQueue_, std::move(deliver_),
      [reports](bool serverGone, const std::string& message) {
        reports->report(serverGone ? SourceReport::Kind::SystemRestarted : SourceReport::Kind::DeviceLost,
                        message);
      },
      [reports](const std::string& message) { reports->report(SourceReport::Kind::Notice, message); });
  if (status != 0) return failure(kStartFailed, status);
  return std::nullopt;
}

void PulseSource::close(std::chrono::steady_clock::time_point deadline) {
  reports_->close();
  if (link_) {
    link_->source = nullptr;
    link_.reset();
  }
  if (capture_) {
    capture_->stop();
    if (ioQueue_ != nullptr && !capture_->finished()) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ioQueue_->drain(std::max(left, std::chrono::milliseconds(0)));
    }
  }
  release();
}

void PulseSource::release() {
  if (capture_ && !capture_->finished()) {
    retired_.push_back({std::move(session_), std::move(filter_), std::move(capture_)});
  }
  capture_.reset();
  filter_.reset();
  session_.reset();
  sink_.reset();
  microphone_.clear();
  ioQueue_ = nullptr;
  deliver_ = nullptr;
  started_ = false;
}

std::optional<std::string> PulseSource::defaultOutputUID() {
  // Over a connection of its own: the capture's belongs to its task.
  Session probe(kSetupLimit);
  const std::optional<SinkInfo> sink = probe.defaultSink();
  if (!sink) return std::nullopt;
  return sink->name;
}

std::optional<std::string> PulseSource::defaultInputUID() {
  Session probe(kSetupLimit);
  return probe.defaultMicrophone();
}

}  // namespace audiotap::platform::linux
