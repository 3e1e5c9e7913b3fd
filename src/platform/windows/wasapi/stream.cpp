#include "platform/windows/wasapi/stream.h"

#include <avrt.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace audiotap::platform::windows {
namespace {

// The most frames one delivery carries; longer packets and silence go in
// pieces, so the buffers have a fixed size.
constexpr std::uint32_t kChunkFrames = 2048;
// The engine's period is 10 ms: a wait this long without an event still
// reads the clock, for silence while nothing plays.
constexpr DWORD kWakeMilliseconds = 10;
// Well above the period, so that a late wakeup of wine's own timer is not
// taken for quiet.
constexpr std::int64_t kQuietTicks = 1'000'000;  // 100 ms
constexpr std::int64_t kLagTicks = 200'000;      // 20 ms
// What the other legs may run ahead of the first.
constexpr std::uint32_t kMixSeconds = 1;
constexpr REFERENCE_TIME kBufferTicks = 1'000'000;  // 100 ms

}  // namespace

Leg::Leg(Leg&& other) noexcept
    : client(std::move(other.client)),
      capture(std::move(other.capture)),
      event(std::exchange(other.event, nullptr)),
      layout(other.layout) {}

Leg::~Leg() {
  capture.reset();
  client.reset();
  if (event != nullptr) CloseHandle(event);
}

HRESULT prepareLeg(Com<IAudioClient> client, const WAVEFORMATEX& format, DWORD extraFlags,
                   const SampleLayout& layout, Leg& leg, const char*& what) {
  what = "IAudioClient::Initialize";
  HRESULT status = client->Initialize(
      AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK | extraFlags,
      kBufferTicks, 0, &format, nullptr);
  if (FAILED(status)) return status;
  what = "CreateEventW";
  leg.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (leg.event == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  what = "IAudioClient::SetEventHandle";
  status = client->SetEventHandle(leg.event);
  if (FAILED(status)) return status;
  what = "IAudioClient::GetService";
  status = client->GetService(__uuidof(IAudioCaptureClient), leg.capture.putVoid());
  if (FAILED(status)) return status;
  leg.client = std::move(client);
  leg.layout = layout;
  return S_OK;
}

std::int64_t performanceTicks() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return std::int64_t(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  const std::int64_t c = counter.QuadPart;
  return c / frequency * Timeline::kTicksPerSecond + c % frequency * Timeline::kTicksPerSecond / frequency;
}

Stream::Stream(std::vector<Leg> legs, std::uint32_t rate, std::uint32_t channels, std::string device,
               std::shared_ptr<Reports> reports)
    : legs_(std::move(legs)),
      rate_(rate),
      channels_(channels),
      device_(std::move(device)),
      reports_(std::move(reports)),
      timeline_(rate, kQuietTicks, kLagTicks),
      work_(std::size_t(kChunkFrames) * channels),
      scratch_(std::size_t(kChunkFrames) * channels),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      doneEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  fifos_.reserve(legs_.size());
  for (std::size_t i = 1; i < legs_.size(); ++i) fifos_.emplace_back(kMixSeconds * rate, channels);
}

Stream::~Stream() {
  if (stopEvent_ != nullptr) CloseHandle(stopEvent_);
  if (doneEvent_ != nullptr) CloseHandle(doneEvent_);
}

HRESULT Stream::start(const char*& what) {
  what = "CreateEventW";
  if (stopEvent_ == nullptr || doneEvent_ == nullptr) return E_OUTOFMEMORY;
  what = "IAudioClient::Start";
  timeline_.start(performanceTicks());
  for (Leg& leg : legs_) {
    const HRESULT status = leg.client->Start();
    if (FAILED(status)) return status;
    started_ = true;
  }
  return S_OK;
}

void Stream::post(Queue& ioQueue) {
  posted_ = true;
  ioQueue.async([self = shared_from_this()] { self->serve(); });
}

bool Stream::stop(std::chrono::steady_clock::time_point deadline) {
  stopping_.store(true, std::memory_order_release);
  bool ended = true;
  if (posted_) {
    SetEvent(stopEvent_);
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ended = WaitForSingleObject(doneEvent_, DWORD(std::max<std::int64_t>(left.count(), 0))) == WAIT_OBJECT_0;
  }
  // A task still inside a delivery keeps its clients: stopping them under it
  // would fail its next call, and the process is about to end anyway.
  if (!ended) return false;
  if (started_) {
    for (Leg& leg : legs_) leg.client->Stop();
    started_ = false;
  }
  // Released here, on the thread that made them, rather than wherever the
  // last reference to the stream goes.
  legs_.clear();
  return true;
}

void Stream::serve() {
  const ComApartment apartment;
  DWORD taskIndex = 0;
  const HANDLE mmcss = AvSetMmThreadCharacteristicsW(L"Audio", &taskIndex);
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  handles[count++] = stopEvent_;
  for (const Leg& leg : legs_) handles[count++] = leg.event;
  HRESULT failed = S_OK;
  const char* what = nullptr;
  while (!stopping_.load(std::memory_order_acquire)) {
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, kWakeMilliseconds);
    if (woke == WAIT_OBJECT_0) break;
    if (woke == WAIT_FAILED) {
      failed = HRESULT_FROM_WIN32(GetLastError());
      what = "WaitForMultipleObjects";
      break;
    }
    // The others first, so that their audio is there when the first's is mixed.
    for (std::size_t i = legs_.size(); i-- > 0 && SUCCEEDED(failed);) {
      failed = drain(i);
      what = "IAudioCaptureClient";
    }
    if (FAILED(failed)) break;
    const std::uint64_t silence = timeline_.idle(performanceTicks());
    if (silence > 0) {
      reportLost(timeline_.takeLost());
      deliver(nullptr, legs_[0].layout, silence);
    }
  }
  const bool stopping = stopping_.load(std::memory_order_acquire);
  if (!stopping) reportLost(timeline_.takeLost());
  if (mmcss != nullptr) AvRevertMmThreadCharacteristics(mmcss);
  if (FAILED(failed) && !stopping) reportEnd(failed, what);
  SetEvent(doneEvent_);
}

HRESULT Stream::drain(std::size_t index) {
  Leg& leg = legs_[index];
  for (;;) {
    UINT32 next = 0;
    HRESULT status = leg.capture->GetNextPacketSize(&next);
    if (FAILED(status) || next == 0) return status;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0, time = 0;
    status = leg.capture->GetBuffer(&data, &frames, &flags, &position, &time);
    if (FAILED(status)) return status;
    if (status == AUDCLNT_S_BUFFER_EMPTY) return S_OK;
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    const auto* samples = silent ? nullptr : reinterpret_cast<const std::byte*>(data);
    if (index == 0) {
      const bool stamped = (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0;
      const Timeline::Plan plan = timeline_.packet({position, frames, stamped ? std::int64_t(time) : 0,
                                                    (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0},
                                                   performanceTicks());
      reportLost(plan.lost);
      if (plan.silence > 0) deliver(nullptr, leg.layout, plan.silence);
      if (samples != nullptr) samples += std::size_t(plan.skip) * leg.layout.frameBytes;
      deliver(samples, leg.layout, frames - plan.skip);
    } else {
      MixFifo& fifo = fifos_[index - 1];
      for (UINT32 done = 0; done < frames;) {
        const std::uint32_t n = std::min(kChunkFrames, frames - done);
        if (samples == nullptr) {
          fifo.push(nullptr, n);
        } else {
          toFloat(leg.layout, samples + std::size_t(done) * leg.layout.frameBytes, n, scratch_.data());
          fifo.push(scratch_.data(), n);
        }
        done += n;
      }
    }
    status = leg.capture->ReleaseBuffer(frames);
    if (FAILED(status)) return status;
  }
}

void Stream::deliver(const std::byte* samples, const SampleLayout& layout, std::uint64_t frames) {
  while (frames > 0 && !stopping_.load(std::memory_order_acquire)) {
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(frames, kChunkFrames));
    if (samples != nullptr) {
      toFloat(layout, samples, n, work_.data());
      samples += std::size_t(n) * layout.frameBytes;
    } else {
      std::fill_n(work_.begin(), std::size_t(n) * channels_, 0.f);
    }
    for (MixFifo& fifo : fifos_) fifo.addInto(work_.data(), n);
    // The mixdown is ours, as on Linux: the mean, in place (frame i's mean
    // lands at or before its own first sample), so correlated full-scale
    // channels stay at full scale.
    if (channels_ > 1) {
      for (std::uint32_t i = 0; i < n; ++i) {
        const float* frame = &work_[std::size_t(i) * channels_];
        float sum = 0.f;
        for (std::uint32_t c = 0; c < channels_; ++c) sum += frame[c];
        work_[i] = sum / float(channels_);
      }
    }
    AudioBufferList list{1, {{1, std::uint32_t(std::size_t(n) * sizeof(float)), work_.data()}}};
    deliver_(&list, nullptr);
    frames -= n;
  }
}

// One report per run of dropped audio, once audio flows again.
void Stream::reportLost(std::uint64_t frames) {
  if (frames == 0) return;
  char message[160];
  std::snprintf(message, sizeof message,
                "the audio engine dropped %" PRIu64
                " frames (%.3f s) of the output's audio; filled with silence",
                frames, double(frames) / rate_);
  reports_->send(SourceReport::Kind::Notice, message);
}

void Stream::reportEnd(HRESULT status, const char* what) {
  if (status == AUDCLNT_E_SERVICE_NOT_RUNNING) {
    reports_->send(SourceReport::Kind::SystemRestarted,
                   "the audio system restarted: the capture's stream is gone");
  } else if (status == AUDCLNT_E_DEVICE_INVALIDATED) {
    reports_->send(SourceReport::Kind::DeviceLost,
                   "the output device \"" + device_ + "\" is no longer alive");
  } else {
    reports_->send(SourceReport::Kind::DeviceLost, "the capture of the output device \"" + device_ +
                                                       "\" failed: " + what + " returned " + hex(status));
  }
}

}  // namespace audiotap::platform::windows
