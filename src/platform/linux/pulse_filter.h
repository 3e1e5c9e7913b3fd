// The process filter on a PulseAudio-protocol server. Each sink input of the
// tapped sink is an audio client (its PID from `application.process.id`),
// mixed only once the source has decided that it is heard. A filtered capture
// reads one record stream per wanted sink input (pa_stream_set_monitor_stream
// on the sink's monitor, in the monitor's own format), each on a connection of
// its own, and, through the capture's fragment hook, replaces each fragment of
// the sink's monitor with their sum. The monitor keeps the device clock, so
// with nothing wanted playing the output is silence at the sink's pace.
//
// Each stream has a FIFO; it joins the mix once a fragment's worth (or one of
// the server's packets, if larger) has arrived, two on pipewire-pulse, whose
// per-input packets come some 5 ms ahead of the sink's but now and then a
// wakeup later. So it adds at most a fragment of latency, and no drift: every
// stream runs on the sink's clock. A backlog handed over at connection is
// skipped. A packet that comes late leaves a short gap once, and the stream
// keeps that much more in hand from then on. It fades in over 5 ms, and out
// when it is no longer wanted; one that runs dry for 500 ms joins again as a
// new one. One that fails while its sink input is still wanted is reported
// once and tried again every second.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/pulse_session.h"
#include "platform/thread_annotations.h"

namespace audiotap::platform::linux {

struct SinkInput {
  std::uint32_t index;
  std::int32_t pid;  // -1: unknown
  bool operator==(const SinkInput&) const = default;
};

// Main thread, while it owns the session: the sink inputs of `sink`.
std::optional<std::vector<SinkInput>> listSinkInputs(Session& session, std::uint32_t sink);

class Filter {
 public:
  Filter(Session& session, std::uint32_t sink, std::string monitorSource, pa_sample_spec format,
         pa_channel_map map);
  ~Filter();
  Filter(const Filter&) = delete;
  Filter& operator=(const Filter&) = delete;

  // Any thread: the sink inputs to mix, of those listed when this was
  // decided; one listed later is not mixed before it has been decided on.
  void want(std::vector<std::uint32_t> sinkInputs);
  // Any thread: the sink inputs as last seen by the serving task.
  std::vector<SinkInput> clients();
  void seed(std::vector<SinkInput> clients);
  // Calls `changed` (on the serving task) whenever the sink inputs change;
  // null stops that.
  void setListener(std::function<void()> changed);
  // Before the capture starts: where a stream that cannot be read is reported.
  void setNoticeHandler(std::function<void(const std::string& message)> notice) {
    notice_ = std::move(notice);
  }

  // The fragment hook, on the serving task.
  void mix(float* interleaved, std::uint32_t frames, std::uint32_t channels);

 private:
  struct Stream;
  void drain(Stream& stream);
  void refresh();
  void reconcile();
  void connect(std::uint32_t index);
  void record(Stream& stream);
  void close(Stream& stream);

  Session& session_;
  std::uint32_t sink_;
  std::string monitorSource_;
  pa_sample_spec format_;
  pa_channel_map map_;
  bool pipewire_;
  std::uint32_t primeFrames_;
  float rampStep_;

  // Between the core's threads and the serving task.
  Mutex mutex_;
  std::vector<std::uint32_t> wanted_ GUARDED_BY(mutex_);
  std::uint64_t wantVersion_ GUARDED_BY(mutex_) = 1;
  std::vector<SinkInput> clients_ GUARDED_BY(mutex_);
  std::function<void()> listener_ GUARDED_BY(mutex_);

  // Serving task only.
  std::function<void(const std::string&)> notice_;
  std::vector<std::unique_ptr<Stream>> streams_;
  std::vector<std::pair<std::uint32_t, int>> failed_;  // sink input, error: to try again at retryAtNs_
  std::int64_t retryAtNs_ = 0;
  std::vector<std::uint32_t> reported_;  // failed, said so, not read since
  std::uint64_t appliedVersion_ = 0;
  std::atomic<bool> changed_{true};  // the server reported a sink input event
  pa_operation* query_ = nullptr;
  std::vector<SinkInput> queried_;
  std::int64_t lastQueryNs_ = 0;
};

}  // namespace audiotap::platform::linux
