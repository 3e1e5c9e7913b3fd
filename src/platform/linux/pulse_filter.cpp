#include "platform/linux/pulse_filter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix_dispatch.h"

namespace audiotap::platform::linux {

namespace {

// What a stream has in hand before it joins the mix (or one of the server's
// packets, if larger). PulseAudio sends a sink input's monitor in the sink's
// own blocks, with the sink's; pipewire-pulse sends it some 5 ms ahead of the
// sink's, but not always in the same wakeup: a packet more covers that.
constexpr pa_usec_t kPulseHold = 10 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kPipeWireHold = 20 * PA_USEC_PER_MSEC;
// The sink inputs are re-listed on the server's word that they changed, at
// most this often (with the core's own pass a new player is taken in well
// within ~100 ms), and in any case this seldom.
constexpr std::int64_t kRelistNs = 40'000'000;
constexpr std::int64_t kRelistAnywayNs = 1'000'000'000;
// A stream that failed while its sink input is still wanted is tried again
// this long after.
constexpr std::int64_t kRetryNs = 1'000'000'000;
constexpr double kRampSeconds = 0.005;
constexpr double kFifoSeconds = 1;

SinkInput sinkInputOf(const pa_sink_input_info& info) {
  std::int32_t pid = -1;
  if (const char* text = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID)) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value > 0 && value <= 0x7fffffff) pid = std::int32_t(value);
  }
  return {info.index, pid};
}

}  // namespace

std::optional<std::vector<SinkInput>> listSinkInputs(Session& session, std::uint32_t sink) {
  struct Query {
    std::uint32_t sink;
    std::vector<SinkInput> found;
    bool failed = false;
  } query{sink, {}};
  auto onInput = [](pa_context*, const pa_sink_input_info* info, int eol, void* user) {
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->failed = true;
    if (info != nullptr && info->sink == q->sink) q->found.push_back(sinkInputOf(*info));
  };
  pa_operation* operation = pa_context_get_sink_input_info_list(session.context(), onInput, &query);
  if (operation == nullptr) return std::nullopt;
  const bool done =
      session.waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!done || query.failed) return std::nullopt;
  return query.found;
}

struct Filter::Stream {
  Filter* owner;
  std::uint32_t index;
  // A connection of its own: pipewire-pulse sends a second sink input's
  // monitor on a shared connection in bursts up to some 350 ms apart.
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  bool failed = false;
  int error = 0;  // why it failed
  std::uint32_t channels;
  // A ring of whole frames.
  std::vector<float> ring;
  std::size_t capacity = 0, head = 0, size = 0;
  std::size_t largest = 0;  // frames in the largest packet so far
  std::size_t dry = 0;      // frames owed since data last came
  bool primed = false;
  bool leaving = false;
  float gain = 0;

  void skip(std::size_t frames) {
    head = (head + frames) % capacity;
    size -= frames;
  }

  void push(const float* samples, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i) {
      if (size == capacity) {  // the oldest frame goes
        head = (head + 1) % capacity;
        --size;
      }
      float* slot = &ring[((head + size) % capacity) * channels];
      if (samples != nullptr) {
        std::memcpy(slot, samples + i * channels, channels * sizeof(float));
      } else {
        std::fill(slot, slot + channels, 0.f);
      }
      ++size;
    }
  }
};

Filter::Filter(Session& session, std::uint32_t sink, std::string monitorSource, pa_sample_spec format,
               pa_channel_map map)
    : session_(session),
      sink_(sink),
      monitorSource_(std::move(monitorSource)),
      format_(format),
      map_(map),
      pipewire_(servedByPipeWire(session)),
      primeFrames_(std::uint32_t(pa_usec_to_bytes(pipewire_ ? kPipeWireHold : kPulseHold, &format) /
                                 pa_frame_size(&format))),
      rampStep_(float(1.0 / (kRampSeconds * format.rate))) {
  session_.watchSinkInputs([this] { changed_.store(true, std::memory_order_release); });
}

Filter::~Filter() {
  session_.watchSinkInputs(nullptr);
  if (query_ != nullptr) {
    pa_operation_cancel(query_);
    pa_operation_unref(query_);
  }
  for (const auto& stream : streams_) close(*stream);
}

void Filter::close(Stream& s) {
  if (s.stream != nullptr) {
    pa_stream_set_read_callback(s.stream, nullptr, nullptr);
    pa_stream_set_state_callback(s.stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(s.stream))) pa_stream_disconnect(s.stream);
    pa_stream_unref(s.stream);
    s.stream = nullptr;
  }
  if (s.context != nullptr) {
    pa_context_set_state_callback(s.context, nullptr, nullptr);
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context))) pa_context_disconnect(s.context);
    pa_context_unref(s.context);
    s.context = nullptr;
  }
}

void Filter::want(std::vector<std::uint32_t> sinkInputs) {
  MutexLock lock(mutex_);
  wanted_ = std::move(sinkInputs);
  ++wantVersion_;
}

std::vector<SinkInput> Filter::clients() {
  MutexLock lock(mutex_);
  return clients_;
}

void Filter::seed(std::vector<SinkInput> clients) {
  MutexLock lock(mutex_);
  clients_ = std::move(clients);
}

void Filter::setListener(std::function<void()> changed) {
  MutexLock lock(mutex_);
  listener_ = std::move(changed);
}

void Filter::drain(Stream& stream) {
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream.stream, &data, &bytes) < 0 || bytes == 0) return;
    // A hole keeps its length as silence, so the stream stays on the sink's timeline.
    const std::size_t frames = bytes / pa_frame_size(&format_);
    std::erase(reported_, stream.index);  // readable again
    stream.largest = std::max(stream.largest, frames);
    stream.push(static_cast<const float*>(data), frames);
    pa_stream_drop(stream.stream);
  }
}

void Filter::refresh() {
  if (query_ != nullptr) {
    if (pa_operation_get_state(query_) == PA_OPERATION_RUNNING) return;
    pa_operation_unref(query_);
    query_ = nullptr;
  }
  const std::int64_t now = posix::monotonicNanoseconds();
  if (now - lastQueryNs_ < kRelistNs) return;
  if (!changed_.exchange(false, std::memory_order_acq_rel) && now - lastQueryNs_ < kRelistAnywayNs) return;
  lastQueryNs_ = now;
  queried_.clear();
  auto onInput = [](pa_context*, const pa_sink_input_info* info, int eol, void* user) {
    auto* self = static_cast<Filter*>(user);
    if (info != nullptr && info->sink == self->sink_) self->queried_.push_back(sinkInputOf(*info));
    if (eol == 0) return;
    if (eol < 0) return;  // keep what was known
    MutexLock lock(self->mutex_);
    if (self->queried_ == self->clients_) return;
    self->clients_ = self->queried_;
    self->appliedVersion_ = 0;  // reconcile against the new list
    if (self->listener_) self->listener_();
  };
  query_ = pa_context_get_sink_input_info_list(session_.context(), onInput, this);
}

void Filter::reconcile() {
  std::vector<SinkInput> clients;
  const bool retry = !failed_.empty() && posix::monotonicNanoseconds() >= retryAtNs_;
  if (!mutex_.try_lock()) return;
  const bool due = appliedVersion_ != wantVersion_ || retry;
  std::vector<std::uint32_t> chosen;
  if (due) {
    appliedVersion_ = wantVersion_;
    chosen = wanted_;
    clients = clients_;
  }
  mutex_.unlock();
  if (!due) return;
  std::vector<std::uint32_t> wanted;
  for (const auto& client : clients) {
    if (std::count(chosen.begin(), chosen.end(), client.index) > 0) wanted.push_back(client.index);
  }
  for (const auto& stream : streams_) {
    if (std::count(wanted.begin(), wanted.end(), stream->index) == 0) stream->leaving = true;
  }
  if (retry) {
    // A stream that failed while its sink input lived on: say so once, until
    // it reads again. One whose sink input has ended is no longer listed.
    for (const auto& [index, error] : failed_) {
      if (std::count(wanted.begin(), wanted.end(), index) == 0 ||
          std::count(reported_.begin(), reported_.end(), index))
        continue;
      reported_.push_back(index);
      if (notice_)
        notice_("could not read the audio of sink input " + std::to_string(index) +
                " for the process filter: " + pa_strerror(error) +
                "; it is left out until that succeeds (tried every second)");
    }
    failed_.clear();
  }
  for (const std::uint32_t index : wanted) {
    const bool present = std::any_of(streams_.begin(), streams_.end(), [&](const auto& stream) {
      return stream->index == index && !stream->leaving;
    });
    if (!present) connect(index);
  }
}

void Filter::connect(std::uint32_t index) {
  auto owned = std::make_unique<Stream>();
  Stream& stream = *owned;
  stream.owner = this;
  stream.index = index;
  stream.channels = format_.channels;
  stream.capacity = std::size_t(kFifoSeconds * format_.rate);
  stream.ring.assign(stream.capacity * format_.channels, 0.f);
  stream.context = newContext(session_.loop());
  if (stream.context == nullptr) return;
  pa_context_set_state_callback(
      stream.context,
      [](pa_context* context, void* user) {
        auto* s = static_cast<Stream*>(user);
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) {
          s->owner->record(*s);
        } else if (!PA_CONTEXT_IS_GOOD(state)) {
          s->failed = true;
          s->error = pa_context_errno(context);
        }
      },
      &stream);
  if (pa_context_connect(stream.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    close(stream);
    return;
  }
  streams_.push_back(std::move(owned));
}

void Filter::record(Stream& s) {
  s.stream = pa_stream_new(s.context, "Orvane Tap process", &format_, &map_);
  if (s.stream == nullptr) {
    s.failed = true;
    s.error = pa_context_errno(s.context);
    return;
  }
  const pa_buffer_attr attributes = recordAttributes(format_, pipewire_);
  pa_stream_set_read_callback(
      s.stream,
      [](pa_stream*, std::size_t, void* user) {
        static_cast<Stream*>(user)->owner->drain(*static_cast<Stream*>(user));
      },
      &s);
  pa_stream_set_state_callback(
      s.stream,
      [](pa_stream* stream, void* user) {
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return;
        auto* s = static_cast<Stream*>(user);
        s->failed = true;
        s->error = pa_context_errno(pa_stream_get_context(stream));
      },
      &s);
  if (pa_stream_set_monitor_stream(s.stream, s.index) < 0 ||
      pa_stream_connect_record(s.stream, monitorSource_.c_str(), &attributes,
                               pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
    s.failed = true;
    s.error = pa_context_errno(s.context);
  }
}

void Filter::mix(float* interleaved, std::uint32_t frames, std::uint32_t channels) {
  refresh();
  reconcile();
  // The monitor's own content is never passed on: it holds every process.
  std::fill(interleaved, interleaved + std::size_t(frames) * channels, 0.f);
  if (channels != format_.channels) return;
  for (const auto& owned : streams_) {
    Stream& s = *owned;
    if (s.stream == nullptr) continue;
    drain(s);
    // A server that sends in larger packets than a fragment needs one packet
    // in hand.
    const std::size_t target = std::max<std::size_t>(primeFrames_, s.largest);
    if (!s.primed) {
      if (s.size < target || s.leaving) continue;
      s.primed = true;
      s.gain = 0;
      s.dry = 0;
      // A backlog handed over at connection would make the stream late for good.
      if (s.size > target + frames) s.skip(s.size - target);
    }
    if (s.size > s.capacity / 2 + target) s.skip(s.size - target);  // far behind: catch up
    const std::size_t take = std::min<std::size_t>(frames, s.size);
    for (std::size_t i = 0; i < take; ++i) {
      s.gain = s.leaving ? std::max(0.f, s.gain - rampStep_) : std::min(1.f, s.gain + rampStep_);
      const float* frame = &s.ring[((s.head + i) % s.capacity) * channels];
      for (std::uint32_t c = 0; c < channels; ++c) interleaved[i * channels + c] += frame[c] * s.gain;
    }
    s.skip(take);
    // Short: a packet came late, and the stream runs that much later from now
    // on, so a server whose packets come unevenly (PipeWire's by tens of ms)
    // soon has its jitter covered. Dry for 500 ms: it has stopped, and joins
    // again once refilled.
    s.dry = take == 0 ? s.dry + frames : 0;
    if (s.dry > format_.rate / 2) s.primed = false;
  }
  std::erase_if(streams_, [this](const std::unique_ptr<Stream>& s) {
    const bool ended = s->failed && (s->size == 0 || !s->primed);
    const bool faded = s->leaving && (s->gain == 0 || !s->primed);
    if (!ended && !faded) return false;
    if (ended && !s->leaving) {
      if (failed_.empty()) retryAtNs_ = posix::monotonicNanoseconds() + kRetryNs;
      failed_.push_back({s->index, s->error});
    }
    close(*s);
    return true;
  });
}

}  // namespace audiotap::platform::linux
