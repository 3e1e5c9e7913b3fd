// A connection to the sound server driven synchronously: a plain pa_mainloop
// iterated by whichever single thread owns the session at the time, every
// wait bounded. Never spawns a server.
//
// It also watches the server's default sink and source: once connected it
// subscribes to server changes, and when the default sink's (or source's)
// name differs from the one it last saw, it calls that watcher. On request it
// passes on sink input events. That happens on whichever thread iterates the
// loop at the time (the serving task, during capture).
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace audiotap::platform::linux {

struct SinkInfo {
  std::string name;
  std::string monitorSource;
  std::uint32_t index = 0;
  std::uint32_t rate = 0;
};

// What a record stream may hold back before sending: a shorter fragment makes
// a PulseAudio sink render in smaller blocks, at the expense of every client
// of the server.
inline constexpr pa_usec_t kFragment = 20 * PA_USEC_PER_MSEC;
// pipewire-pulse runs the graph at the largest power of two of frames within
// a stream's fragment, and sends a record stream's audio once a whole
// fragment has gathered: 20 ms gives 512-frame quanta at 48 kHz (as parec
// --latency-msec=20 does) but a packet every second quantum; a fragment of
// exactly one such quantum keeps the quanta and sends every quantum.
inline constexpr std::uint32_t kPipeWireFragmentFrames = 512;

// The buffer of a record stream in `format`: one fragment, the rest the
// server's choice.
pa_buffer_attr recordAttributes(const pa_sample_spec& format, bool pipewire);

// A client of the server as "audiotap" on `loop`, not yet connected; null on
// failure.
pa_context* newContext(pa_mainloop* loop);

class Session {
 public:
  using DefaultSinkWatcher = std::function<void()>;

  explicit Session(std::chrono::milliseconds limit, DefaultSinkWatcher watcher = nullptr,
                   std::function<void()> defaultSourceWatcher = nullptr);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects once; later calls return the first result.
  bool connect();
  bool connected() const;

  // Calls `changed` on each event of a sink input (new, changed, removed), on
  // whichever thread iterates the loop; null stops that. Set by whoever owns
  // the session at the time.
  void watchSinkInputs(std::function<void()> changed);
  // Likewise for each event of a sink (new, changed, removed), with its index.
  void watchSinks(std::function<void(std::uint32_t index)> changed);

  std::optional<SinkInfo> defaultSink();
  bool sourceExists(const std::string& name);
  // The default source's name, when it is a microphone: none when there is
  // no default source, or it is a sink's monitor.
  std::optional<std::string> defaultMicrophone();

  // Iterates the loop until `done` holds, the connection fails or the limit
  // runs out. Returns whether `done` held.
  bool waitUntil(const std::function<bool()>& done);

  // The PulseAudio error code of the last failure, never 0.
  int lastError() const;

  pa_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }

 private:
  bool await(pa_operation* operation);
  void subscribe();
  void defaultsSeen(const pa_server_info& info);

  std::chrono::milliseconds limit_;
  DefaultSinkWatcher watcher_;
  std::function<void()> sourceWatcher_;
  std::function<void()> sinkInputsChanged_;
  std::function<void(std::uint32_t)> sinksChanged_;
  std::string defaultSink_;  // as last seen; whoever iterates the loop
  std::string defaultSource_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool attempted_ = false;
  int error_ = 0;
};

// Whether the server is pipewire-pulse (bounded wait).
bool servedByPipeWire(Session& session);

}  // namespace audiotap::platform::linux
