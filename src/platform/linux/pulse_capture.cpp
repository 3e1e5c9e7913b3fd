#include "platform/linux/pulse_capture.h"

#include <time.h>

#include <cerrno>
#include <utility>

namespace audiotap::platform::pulse {

namespace {

// About 10 ms a fragment keeps a sound's way to standard output within a few
// tens of milliseconds without waking the IO queue more than 100 times a second.
constexpr pa_usec_t kFragment = 10 * PA_USEC_PER_MSEC;

pa_sample_spec captureSpec(std::uint32_t rate) { return pa_sample_spec{PA_SAMPLE_FLOAT32NE, rate, 1}; }

}  // namespace

Capture::Capture(Session& session, pa_stream* stream, std::string source, std::uint32_t rate)
    : session_(session), stream_(stream), source_(std::move(source)), rate_(rate) {}

Capture::~Capture() {
  // A task that never returned (stuck in a write nobody reads) still holds
  // the stream; the process is about to exit, so it is left to it.
  if (!finished()) return;
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

pa_stream* Capture::makeStream(Session& session, const std::string& name, std::uint32_t rate) {
  const pa_sample_spec format = captureSpec(rate);
  pa_channel_map map;
  pa_channel_map_init_mono(&map);
  return pa_stream_new(session.context(), name.c_str(), &format, &map);
}

int Capture::start(Queue& queue, IOBlock block, LostHandler lost) {
  block_ = std::move(block);
  lost_ = std::move(lost);
  const pa_sample_spec format = captureSpec(rate_);
  pa_buffer_attr attributes;
  attributes.maxlength = std::uint32_t(-1);
  attributes.tlength = std::uint32_t(-1);
  attributes.prebuf = std::uint32_t(-1);
  attributes.minreq = std::uint32_t(-1);
  attributes.fragsize = std::uint32_t(pa_usec_to_bytes(kFragment, &format));
  // DONT_MOVE: when the tapped sink goes away the stream must fail, not follow
  // another sink silently.
  const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream_, source_.c_str(), &attributes, flags) < 0) {
    return pa_context_errno(session_.context());
  }
  const bool ready = session_.waitUntil([this] {
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
  });
  if (!ready) return session_.lastError();
  if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
    const int error = pa_context_errno(session_.context());
    return error != 0 ? error : PA_ERR_UNKNOWN;
  }
  running_.store(true, std::memory_order_release);
  queue.async([this] { serve(); });
  return 0;
}

void Capture::stop() {
  stopRequested_.store(true, std::memory_order_release);
  if (!finished()) pa_mainloop_wakeup(session_.loop());
}

void Capture::serve() {
  // The read callback is installed here, not at connect time, so that no
  // fragment can reach the IO block while the main thread still iterates.
  pa_stream_set_read_callback(
      stream_, [](pa_stream*, std::size_t, void* self) { static_cast<Capture*>(self)->deliverReadable(); },
      this);
  deliverReadable();
  bool lost = false;
  while (!stopRequested_.load(std::memory_order_acquire)) {
    delivered_ = false;
    if (pa_mainloop_iterate(session_.loop(), 1, nullptr) < 0) {
      lost = true;
      break;
    }
    if (pa_context_get_state(session_.context()) != PA_CONTEXT_READY ||
        pa_stream_get_state(stream_) != PA_STREAM_READY) {
      lost = true;
      break;
    }
    // The server pushes every block the sink renders as soon as it has it,
    // fragsize being only an upper bound: 2.5 ms apart on a sink that plays
    // at low latency. Waiting out the rest of a fragment after a delivery
    // lets one wakeup carry them all, at no more delay than the fragment we
    // asked for.
    if (delivered_) {
      timespec until;
      clock_gettime(CLOCK_MONOTONIC, &until);
      until.tv_nsec += long(kFragment * 1000);
      if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
      }
    }
  }
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  std::string message;
  if (lost) message = lossMessage();
  if (!lost && pa_stream_get_state(stream_) == PA_STREAM_READY) {
    pa_stream_disconnect(stream_);
    // Lets the disconnect reach the server before the session is handed back.
    for (int i = 0; i < 8 && pa_mainloop_iterate(session_.loop(), 0, nullptr) > 0; ++i) {
    }
  }
  running_.store(false, std::memory_order_release);
  if (lost && !stopRequested_.load(std::memory_order_acquire) && lost_) lost_(message);
}

void Capture::deliverReadable() {
  for (;;) {
    const void* data = nullptr;
    std::size_t size = 0;
    if (pa_stream_peek(stream_, &data, &size) < 0 || size == 0) return;
    delivered_ = true;
    // A null fragment is a hole (data the server dropped): nothing to deliver.
    if (data != nullptr && !stopRequested_.load(std::memory_order_acquire)) {
      AudioBufferList list{1, {{1, std::uint32_t(size), const_cast<void*>(data)}}};
      block_(&list);
    }
    pa_stream_drop(stream_);
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

}  // namespace audiotap::platform::pulse
