#include "platform/windows/wasapi/wasapi_source.h"

#include <windows.h>
// After windows.h, which they need.
#include <ksmedia.h>
#include <mmreg.h>

#include <algorithm>
#include <unordered_map>

#include "platform/windows/wasapi/endpoints.h"
#include "platform/windows/wasapi/process_loopback.h"
#include "platform/windows/wasapi/stream.h"

namespace audiotap::platform::windows {
namespace {

SourceFailure failure(std::string message) { return {std::move(message), std::nullopt}; }
SourceFailure failure(std::string message, HRESULT status) {
  return {std::move(message), std::int32_t(status)};
}

struct MixFormat {
  WAVEFORMATEX* format = nullptr;
  ~MixFormat() { CoTaskMemFree(format); }
};

std::optional<SampleLayout> layoutOf(const WAVEFORMATEX& format) {
  bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  bool known = isFloat || format.wFormatTag == WAVE_FORMAT_PCM;
  if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    isFloat = IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    known = isFloat || IsEqualGUID(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
  }
  if (!known) return std::nullopt;
  return sampleLayout(isFloat, format.wBitsPerSample, format.nChannels, format.nBlockAlign);
}

// Whether `pid` is `root` or descends from it.
bool inTree(ProcessID pid, ProcessID root, const std::unordered_map<ProcessID, ProcessID>& parents) {
  // Windows keeps a parent's ID after it ends, and may hand it out again:
  // the chain can loop.
  for (int depth = 0; depth < 256 && pid > 0; ++depth) {
    if (pid == root) return true;
    const auto parent = parents.find(pid);
    if (parent == parents.end() || parent->second == pid) return false;
    pid = parent->second;
  }
  return false;
}

class WasapiSource final : public CaptureSource {
 public:
  explicit WasapiSource(ProcessTable& processes) : processes_(processes) {}
  ~WasapiSource() override { close(std::chrono::steady_clock::now()); }

  SourceResult open(const CaptureRequest& request, SourceReporter reporter) override {
    close(std::chrono::steady_clock::now());
    if (request.microphone) return failure(kMicrophoneUnsupported);
    joinApartmentForThread();
    Com<IMMDeviceEnumerator> enumerator;
    HRESULT status = makeEnumerator(enumerator);
    if (FAILED(status)) return failure("could not create the audio device enumerator", status);
    Endpoint endpoint;
    if (FAILED(defaultRenderEndpoint(enumerator.get(), endpoint))) return failure("no default output device");
    std::vector<Leg> legs;
    std::uint32_t rate = 0, channels = 0;
    const SourceResult opened = request.filter != nullptr
                                    ? openProcesses(*request.filter, endpoint, legs, rate, channels)
                                    : openEndpoint(endpoint, legs, rate, channels);
    if (opened) return opened;
    auto reports = std::make_shared<Reports>(std::move(reporter));
    if (request.followOutput) {
      status = watch_.watch(enumerator.get(),
                            [reports] { reports->send(SourceReport::Kind::DefaultOutputChanged); });
      if (FAILED(status))
        return failure("IMMDeviceEnumerator::RegisterEndpointNotificationCallback failed", status);
    }
    stream_ = std::make_shared<Stream>(std::move(legs), rate, channels, endpoint.id, reports);
    reports_ = std::move(reports);
    deviceUID_ = endpoint.id;
    format_ = {double(rate),
               kAudioFormatLinearPCM,
               kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
               4,
               1,
               4,
               1,
               32,
               0};
    return std::nullopt;
  }

  std::string deviceUID() const override { return deviceUID_; }
  StreamDescription format() const override { return format_; }

  SourceResult attach(Queue& ioQueue, Delivery deliver) override {
    if (!stream_) return failure("the capture is not open");
    stream_->setDelivery(std::move(deliver));
    queue_ = &ioQueue;
    return std::nullopt;
  }

  SourceResult start() override {
    if (!stream_ || queue_ == nullptr) return failure("the capture is not open");
    const char* what = nullptr;
    const HRESULT status = stream_->start(what);
    if (FAILED(status)) return failure(std::string(what) + " failed", status);
    stream_->post(*queue_);
    return std::nullopt;
  }

  void close(std::chrono::steady_clock::time_point deadline) override {
    if (reports_) reports_->close();
    watch_.stop();
    // A task that outlives the deadline keeps the stream it holds.
    if (stream_) stream_->stop(deadline);
    stream_.reset();
    reports_.reset();
    queue_ = nullptr;
    deviceUID_.clear();
    format_ = {};
  }

  std::optional<std::string> defaultOutputUID() override {
    joinApartmentForThread();
    Com<IMMDeviceEnumerator> enumerator;
    Endpoint endpoint;
    if (FAILED(makeEnumerator(enumerator)) || FAILED(defaultRenderEndpoint(enumerator.get(), endpoint)))
      return std::nullopt;
    return endpoint.id;
  }

  // Whether a tapped process plays is not asked of the audio sessions: false,
  // as the contract allows.

 private:
  static SourceResult openEndpoint(const Endpoint& endpoint, std::vector<Leg>& legs, std::uint32_t& rate,
                                   std::uint32_t& channels) {
    Com<IAudioClient> client;
    HRESULT status = endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.putVoid());
    if (FAILED(status)) return failure("IMMDevice::Activate failed", status);
    MixFormat mix;
    status = client->GetMixFormat(&mix.format);
    if (FAILED(status)) return failure("IAudioClient::GetMixFormat failed", status);
    const std::optional<SampleLayout> layout = layoutOf(*mix.format);
    if (!layout) {
      return failure("the output's mix format is not one this capture reads (" +
                     std::to_string(mix.format->wBitsPerSample) + "-bit, format tag " +
                     std::to_string(mix.format->wFormatTag) + ")");
    }
    Leg leg;
    const char* what = nullptr;
    status = prepareLeg(std::move(client), *mix.format, 0, *layout, leg, what);
    if (FAILED(status)) return failure(std::string(what) + " failed", status);
    legs.push_back(std::move(leg));
    rate = mix.format->nSamplesPerSec;
    channels = layout->channels;
    return std::nullopt;
  }

  // One client per included tree, or one that leaves the excluded tree out.
  SourceResult openProcesses(const ProcessFilter& filter, const Endpoint& endpoint, std::vector<Leg>& legs,
                             std::uint32_t& rate, std::uint32_t& channels) {
    const std::vector<ProcessID>& includes = filter.includeRoots();
    const std::vector<ProcessID>& excludes = filter.excludeRoots();
    std::vector<ProcessID> targets = includes;
    if (includes.empty()) {
      // Windows leaves out one tree per stream, and a mix of streams would
      // hear each excluded tree in the others.
      if (excludes.size() > 1) return failure("only one --exclude-pid is supported on Windows");
      targets = excludes;
    } else if (!excludes.empty()) {
      // A tree that is included is heard whole: an excluded process outside
      // every included tree is left out anyway, one inside would be heard.
      std::unordered_map<ProcessID, ProcessID> parents;
      for (const ProcessEntry& entry : processes_.list()) parents.emplace(entry.pid, entry.parent);
      for (const ProcessID excluded : excludes) {
        for (const ProcessID root : includes) {
          if (inTree(excluded, root, parents))
            return failure("an --exclude-pid inside an --include-pid tree is not supported on Windows");
        }
      }
    }
    if (targets.empty()) return failure("the process filter names no process");
    if (targets.size() > MAXIMUM_WAIT_OBJECTS - 1)
      return failure("too many --include-pid trees for one capture");
    if (!hasProcessLoopback())
      return failure("capturing single processes needs Windows 10 build 20348 or later");
    // The tree's audio, converted by the engine to float32 stereo at the
    // output's rate: process loopback has no mix format of its own.
    rate = 48000;
    channels = 2;
    Com<IAudioClient> probe;
    MixFormat mix;
    if (SUCCEEDED(endpoint.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, probe.putVoid())) &&
        SUCCEEDED(probe->GetMixFormat(&mix.format)) && mix.format->nSamplesPerSec >= 8000) {
      rate = mix.format->nSamplesPerSec;
    }
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    format.nChannels = WORD(channels);
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = 32;
    format.nBlockAlign = WORD(channels * 4);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    const SampleLayout layout{SampleEncoding::Float32, channels, channels * 4};
    const bool include = !includes.empty();
    for (const ProcessID pid : targets) {
      Com<IAudioClient> client;
      HRESULT status = activateProcessLoopback(DWORD(pid), include, client);
      if (FAILED(status)) {
        return failure("process loopback could not be activated for process " + std::to_string(pid) + " (" +
                           hex(status) + ")",
                       status);
      }
      Leg leg;
      const char* what = nullptr;
      status = prepareLeg(std::move(client), format,
                          AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY,
                          layout, leg, what);
      if (FAILED(status)) return failure(std::string(what) + " failed for process loopback", status);
      legs.push_back(std::move(leg));
    }
    return std::nullopt;
  }

  ProcessTable& processes_;
  DefaultWatch watch_;
  std::shared_ptr<Reports> reports_;
  std::shared_ptr<Stream> stream_;
  Queue* queue_ = nullptr;
  std::string deviceUID_;
  StreamDescription format_{};
};

}  // namespace

std::unique_ptr<CaptureSource> makeWasapiSource(Dispatch&, ProcessTable& processes) {
  return std::make_unique<WasapiSource>(processes);
}

}  // namespace audiotap::platform::windows
