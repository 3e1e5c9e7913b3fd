#include "platform/linux/pulse_capture.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/posix/posix_dispatch.h"

namespace audiotap::platform::linux {

namespace {

// The most frames one IO block call carries; longer fragments and silence
// fills go through in pieces, so the scratch buffers have a fixed size.
constexpr std::uint32_t kChunkFrames = 2048;
// Packets already received are taken in one wakeup, up to this many.
constexpr int kDrainLimit = 256;
// The server pushes every block the sink renders as soon as it has it,
// fragsize being only an upper bound: 2.5 ms apart behind a player at low
// latency on PulseAudio. After a wakeup that brought data the task looks again
// no sooner than this, so one wakeup carries those blocks together: a sound
// waits here 5 ms on average, and the task wakes at most 100 times a second.
// (pipewire-pulse sends a fragment at a time, further apart than this.)
constexpr std::int64_t kPaceNs = 10'000'000;
// While the sink is suspended, silence begins once no data has come for this
// long: a server may keep a suspended sink's monitor running.
constexpr std::int64_t kQuietNs = 2 * std::int64_t(kFragment) * 1000;
// The microphone's lag behind the sink, held by its clock lock: above the
// jitter of a fragment of either stream. Beyond the capacity is a stall: the
// capacity covers the sink's audio that the server skipped, which reaches the
// IO block (as silence) only with the next timing update, a second later.
constexpr std::uint32_t kMicTargetMs = 30;
constexpr std::uint32_t kMicCapacityMs = 2000;

void sleepUntil(std::int64_t ns) {
  const timespec until{time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

Capture::Capture(Session& session, pa_stream* stream, SinkInfo sink)
    : session_(session),
      stream_(stream),
      sink_(std::move(sink)),
      source_(sink_.monitorSource),
      rate_(sink_.rate) {}

Capture::~Capture() {
  // A task that never returned (stuck in a write nobody reads) still holds
  // the stream; the process is about to exit, so it is left to it.
  if (!finished()) return;
  for (pa_stream* stream : {stream_, mic_}) {
    if (stream == nullptr) continue;
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
}

void Capture::addMicrophone(pa_stream* stream, std::string source, std::function<void()> lost) {
  mic_ = stream;
  micSource_ = std::move(source);
  micLost_ = std::move(lost);
}

pa_stream* Capture::makeStream(Session& session, const std::string& name, const std::string& source,
                               std::uint32_t rate) {
  // The sink's own channels: the servers' own remix to mono differs (PipeWire
  // adds the channels up where PulseAudio averages them), so the mixdown is ours.
  struct Query {
    pa_channel_map map{};
    bool found = false;
  } query;
  auto onSource = [](pa_context*, const pa_source_info* info, int, void* user) {
    auto* q = static_cast<Query*>(user);
    if (info == nullptr || q->found) return;
    q->map = info->channel_map;
    q->found = true;
  };
  pa_operation* operation =
      pa_context_get_source_info_by_name(session.context(), source.c_str(), onSource, &query);
  if (operation == nullptr) return nullptr;
  const bool done =
      session.waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!done || !query.found || !pa_channel_map_valid(&query.map)) return nullptr;
  const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, rate, query.map.channels};
  return pa_stream_new(session.context(), name.c_str(), &format, &query.map);
}

int Capture::start(Queue& queue, Delivery block, LostHandler lost, Handler notice) {
  block_ = std::move(block);
  lost_ = std::move(lost);
  notice_ = std::move(notice);
  const pa_sample_spec format = *pa_stream_get_sample_spec(stream_);
  channels_ = format.channels;
  frameBytes_ = std::uint32_t(pa_frame_size(&format));
  work_.assign(std::size_t(kChunkFrames) * channels_, 0.f);
  silence_.assign(std::size_t(kChunkFrames) * channels_, 0.f);
  mono_.assign(kChunkFrames, 0.f);
  fragmentFrames_ = std::uint32_t(pa_usec_to_bytes(kFragment, &format) / frameBytes_);
  if (mic_ != nullptr) {
    const pa_sample_spec micFormat = *pa_stream_get_sample_spec(mic_);
    micChannels_ = micFormat.channels;
    micFrameBytes_ = std::uint32_t(pa_frame_size(&micFormat));
    lock_ = std::make_unique<ClockLock>(rate_, rate_ * kMicTargetMs / 1000, rate_ * kMicCapacityMs / 1000);
    micOut_.assign(kChunkFrames, 0.f);
  }
  // Both streams connect before either is served, so they start together.
  for (pa_stream* stream : {stream_, mic_}) {
    if (stream == nullptr) continue;
    if (const int error = connect(stream, stream == mic_ ? micSource_ : source_); error != 0) return error;
  }
  const bool ready = session_.waitUntil([this] {
    for (pa_stream* stream : {stream_, mic_}) {
      if (stream == nullptr) continue;
      const pa_stream_state_t state = pa_stream_get_state(stream);
      if (!PA_STREAM_IS_GOOD(state)) return true;
      if (state != PA_STREAM_READY) return false;
    }
    return true;
  });
  if (!ready) return session_.lastError();
  for (pa_stream* stream : {stream_, mic_}) {
    if (stream != nullptr && pa_stream_get_state(stream) != PA_STREAM_READY) {
      const int error = pa_context_errno(session_.context());
      return error != 0 ? error : PA_ERR_UNKNOWN;
    }
  }
  running_.store(true, std::memory_order_release);
  queue.async([this] { serve(); });
  return 0;
}

int Capture::connect(pa_stream* stream, const std::string& source) {
  // The same fragment for both: the microphone's packets come as often as the sink's.
  const pa_buffer_attr attributes =
      recordAttributes(*pa_stream_get_sample_spec(stream), servedByPipeWire(session_));
  // DONT_MOVE: when the tapped sink (or the microphone) goes away the stream
  // must fail, not follow another device silently.
  // AUTO_TIMING_UPDATE: the server's read index, once a second, shows audio
  // it skipped for us.
  const auto flags =
      pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(stream, source.c_str(), &attributes, flags) < 0) {
    return pa_context_errno(session_.context());
  }
  return 0;
}

void Capture::stop() {
  stopRequested_.store(true, std::memory_order_release);
  if (!finished()) pa_mainloop_wakeup(session_.loop());
}

void Capture::serve() {
  // The read callback is installed here, not at connect time, so that no
  // fragment can reach the IO block while the main thread still iterates.
  // The read callback only notes that there is audio: it is delivered once
  // the wakeup has taken in every packet, so a fragment hook sees the other
  // streams' packets of the same moment, whichever came first.
  pa_stream_set_read_callback(
      stream_, [](pa_stream*, std::size_t, void* self) { static_cast<Capture*>(self)->readable_ = true; },
      this);
  pa_stream_set_latency_update_callback(
      stream_, [](pa_stream*, void* self) { static_cast<Capture*>(self)->checkReadIndex(); }, this);
  // The microphone's packets go straight into its lock, so that those of a
  // wakeup are there before the sink's frames of the same wakeup draw on them.
  if (mic_ != nullptr) {
    pa_stream_set_read_callback(
        mic_, [](pa_stream*, std::size_t, void* self) { static_cast<Capture*>(self)->drainMicrophone(); },
        this);
    pa_stream_set_latency_update_callback(
        mic_, [](pa_stream*, void* self) { static_cast<Capture*>(self)->checkMicrophoneReadIndex(); }, this);
    drainMicrophone();
  }
  session_.watchSinks([this](std::uint32_t index) {
    if (index == sink_.index) sinkChanged_ = true;
  });
  lastDataNs_ = posix::monotonicNanoseconds();
  querySink();
  deliverReadable();
  bool lost = false;
  while (!stopRequested_.load(std::memory_order_acquire)) {
    // Waits for the server, or while the sink is suspended, for the next
    // piece of silence.
    int timeout = -1;
    if (suspended_) {
      const std::int64_t due =
          filling_ ? fillStartNs_ + std::int64_t(filledFrames_ + fragmentFrames_) * 1'000'000'000 / rate_
                   : lastDataNs_ + kQuietNs;
      timeout = int(std::clamp<std::int64_t>((due - posix::monotonicNanoseconds()) / 1000, 0, 1'000'000));
    }
    int result = pa_mainloop_prepare(session_.loop(), timeout) < 0 || pa_mainloop_poll(session_.loop()) < 0
                     ? -1
                     : pa_mainloop_dispatch(session_.loop());
    const std::int64_t woke = posix::monotonicNanoseconds();
    // One iteration reads one packet: take every one already here, or a
    // server that sends smaller packets than a fragment (PipeWire sends one
    // per graph cycle) gets ahead of us until it drops audio.
    for (int i = 0; result > 0 && i < kDrainLimit; ++i)
      result = pa_mainloop_iterate(session_.loop(), 0, nullptr);
    if (readable_) deliverReadable();
    if (sinkChanged_) querySink();
    if (suspended_) fillSuspended();
    checkMicrophone();
    if (result < 0 || pa_context_get_state(session_.context()) != PA_CONTEXT_READY ||
        pa_stream_get_state(stream_) != PA_STREAM_READY) {
      lost = true;
      break;
    }
    if (lastDataNs_ >= woke) sleepUntil(woke + kPaceNs);
  }
  session_.watchSinks(nullptr);
  if (sinkQuery_ != nullptr) {
    pa_operation_cancel(sinkQuery_);
    pa_operation_unref(sinkQuery_);
    sinkQuery_ = nullptr;
  }
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
  if (mic_ != nullptr) {
    pa_stream_set_read_callback(mic_, nullptr, nullptr);
    pa_stream_set_latency_update_callback(mic_, nullptr, nullptr);
    if (!lost && pa_stream_get_state(mic_) == PA_STREAM_READY) pa_stream_disconnect(mic_);
  }
  if (!stopRequested_.load(std::memory_order_acquire)) reportGap();
  std::string message;
  const bool serverGone = pa_context_get_state(session_.context()) != PA_CONTEXT_READY;
  if (lost) message = lossMessage();
  if (!lost && pa_stream_get_state(stream_) == PA_STREAM_READY) {
    pa_stream_disconnect(stream_);
    // Lets the disconnect reach the server before the session is handed back.
    for (int i = 0; i < 8 && pa_mainloop_iterate(session_.loop(), 0, nullptr) > 0; ++i) {
    }
  }
  // Before the task lets go: whoever waits for finished() may then destroy
  // the handler.
  if (lost && !stopRequested_.load(std::memory_order_acquire) && lost_) lost_(serverGone, message);
  running_.store(false, std::memory_order_release);
}

void Capture::drainMicrophone() {
  for (;;) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(mic_, &data, &size) < 0 || size == 0) return;
    // A hole keeps its length, as silence.
    if (!micEnded_) lock_->push(static_cast<const float*>(data), size / micFrameBytes_, micChannels_);
    micConsumedBytes_ += size;
    pa_stream_drop(mic_);
  }
}

// As checkReadIndex: the microphone's audio that the server skipped becomes
// silence, so that its timeline, and with it the lag, holds.
void Capture::checkMicrophoneReadIndex() {
  const pa_timing_info* timing = pa_stream_get_timing_info(mic_);
  if (micEnded_ || timing == nullptr || timing->read_index_corrupt) return;
  const std::int64_t skipped = timing->read_index - std::int64_t(micConsumedBytes_);
  if (skipped < std::int64_t(micFrameBytes_)) return;
  const std::uint64_t frames = std::uint64_t(skipped) / micFrameBytes_;
  micConsumedBytes_ += frames * micFrameBytes_;
  lock_->push(nullptr, frames, micChannels_);
}

// A microphone stream that the server ended, while the connection lives.
void Capture::checkMicrophone() {
  if (mic_ == nullptr || micEnded_ || pa_context_get_state(session_.context()) != PA_CONTEXT_READY) return;
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(mic_))) return;
  micEnded_ = true;
  lock_->mute();
  pa_stream_set_read_callback(mic_, nullptr, nullptr);
  pa_stream_set_latency_update_callback(mic_, nullptr, nullptr);
  if (!stopRequested_.load(std::memory_order_acquire) && micLost_) micLost_();
}

void Capture::deliverReadable() {
  readable_ = false;
  for (;;) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0) return;
    // The sink runs (again): its data carries the timeline from here.
    lastDataNs_ = posix::monotonicNanoseconds();
    filling_ = false;
    const std::uint64_t frames = size / frameBytes_;
    consumedBytes_ += size;
    if (data == nullptr) {
      // A hole: audio the server dropped (the reader fell behind) or never had.
      gapFrames_ += frames;
    } else {
      reportGap();
    }
    if (!stopRequested_.load(std::memory_order_acquire)) deliver(static_cast<const float*>(data), frames);
    pa_stream_drop(stream_);
  }
}

void Capture::deliver(const float* samples, std::uint64_t frames) {
  while (frames > 0 && !stopRequested_.load(std::memory_order_acquire)) {
    const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(frames, kChunkFrames));
    const std::size_t count = std::size_t(n) * channels_;
    const float* in = samples != nullptr ? samples : silence_.data();
    if (hook_) {
      std::memcpy(work_.data(), in, count * sizeof(float));
      hook_(work_.data(), n, channels_);
      in = work_.data();
    }
    if (channels_ > 1) {
      // The mean: correlated full-scale channels stay at full scale.
      const float scale = 1.f / float(channels_);
      for (std::uint32_t i = 0; i < n; ++i) {
        float sum = 0.f;
        for (std::uint32_t c = 0; c < channels_; ++c) sum += in[std::size_t(i) * channels_ + c];
        mono_[i] = sum * scale;
      }
      in = mono_.data();
    }
    AudioBufferList list{1, {{1, std::uint32_t(n * sizeof(float)), const_cast<float*>(in)}}};
    if (lock_) {
      lock_->pull(micOut_.data(), n);
      AudioBufferList mic{1, {{1, std::uint32_t(n * sizeof(float)), micOut_.data()}}};
      block_(&list, &mic);
    } else {
      block_(&list, nullptr);
    }
    if (samples != nullptr) samples += count;
    frames -= n;
  }
}

// The server's read index counts what it sent us and what it skipped when we
// fell behind (PipeWire drops its whole backlog but a fragment); libpulse
// takes off what is still queued here, so past our own count is skipped audio.
void Capture::checkReadIndex() {
  const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
  if (timing == nullptr || timing->read_index_corrupt) return;
  const std::int64_t skipped = timing->read_index - std::int64_t(consumedBytes_);
  if (skipped < std::int64_t(frameBytes_)) return;
  const std::uint64_t frames = std::uint64_t(skipped) / frameBytes_;
  consumedBytes_ += frames * frameBytes_;
  gapFrames_ += frames;
  if (!stopRequested_.load(std::memory_order_acquire)) deliver(nullptr, frames);
  reportGap();
}

// One report per episode of loss, once audio flows again (or the capture ends).
void Capture::reportGap() {
  if (gapFrames_ == 0) return;
  char message[160];
  std::snprintf(message, sizeof message,
                "the sound server dropped %" PRIu64
                " frames (%.3f s) of the sink's audio; filled with silence",
                gapFrames_, double(gapFrames_) / rate_);
  gapFrames_ = 0;
  if (notice_) notice_(message);
}

// The sink's state, asked again on each of its events; an answer overtaken
// by a newer question is dropped.
void Capture::querySink() {
  sinkChanged_ = false;
  if (sinkQuery_ != nullptr) {
    pa_operation_cancel(sinkQuery_);
    pa_operation_unref(sinkQuery_);
  }
  auto onSink = [](pa_context*, const pa_sink_info* info, int, void* self) {
    if (info == nullptr) return;
    auto* capture = static_cast<Capture*>(self);
    capture->suspended_ = info->state == PA_SINK_SUSPENDED;
    if (!capture->suspended_) {
      capture->filling_ = false;
      capture->noticed_ = false;
    }
  };
  sinkQuery_ = pa_context_get_sink_info_by_index(session_.context(), sink_.index, onSink, this);
}

// While the sink is suspended and its monitor quiet: the clock's time as
// silence, fragment by fragment, from when data last came, so the timeline
// stays exact and the IO block keeps being called. Data that comes again
// takes over.
void Capture::fillSuspended() {
  const std::int64_t now = posix::monotonicNanoseconds();
  if (!filling_) {
    if (now - lastDataNs_ < kQuietNs) return;
    filling_ = true;
    fillStartNs_ = lastDataNs_;
    filledFrames_ = 0;
    if (!noticed_ && notice_) {
      noticed_ = true;
      notice_("the output device \"" + sink_.name + "\" is suspended: silence is written until it resumes");
    }
  }
  const std::uint64_t due = std::uint64_t(now - fillStartNs_) * rate_ / 1'000'000'000;
  while (due >= filledFrames_ + fragmentFrames_ && !stopRequested_.load(std::memory_order_acquire)) {
    deliver(nullptr, fragmentFrames_);
    filledFrames_ += fragmentFrames_;
  }
}

std::string Capture::lossMessage() const {
  pa_context* context = session_.context();
  if (pa_context_get_state(context) != PA_CONTEXT_READY) {
    return std::string("lost the connection to the sound server: ") + pa_strerror(pa_context_errno(context));
  }
  return std::string("the sound server ended the capture stream from ") + source_ + ": " +
         pa_strerror(pa_context_errno(context));
}

}  // namespace audiotap::platform::linux
