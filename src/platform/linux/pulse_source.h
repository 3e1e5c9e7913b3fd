// The capture source on a PulseAudio-protocol server (PulseAudio itself, or
// PipeWire's PulseAudio server): the monitor of the default sink, read as
// float32 at the sink's rate in its own channels and handed on as their mean,
// one channel. The device's UID is the sink's name.
//
// Setup runs a plain pa_mainloop on the main thread, every wait bounded; a
// server is never spawned. From start() on, one long task on the IO queue
// owns the connection (see pulse_capture.h). Statuses are PulseAudio error
// codes.
//
// The server resamples a record stream whose sink changes rate, so format()
// holds from open() to close() and FormatChanged never comes. The loss of the
// connection is SystemRestarted; the server ending the stream (the sink
// removed) is DeviceLost. Each sink input is an audio client, its PID from
// `application.process.id`; the process filter decides on the main thread,
// whenever the sink inputs change, which of them are mixed.
//
// With a microphone: the default source (not a sink's monitor), its name the
// input's UID, read beside the monitor and locked to the sink's clock (see
// pulse_capture.h); mono float32 like format(). The source removed is
// MicrophoneLost; the capture stays on it otherwise, default or not.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/linux/pulse_session.h"
#include "platform/thread_annotations.h"

namespace audiotap::platform::linux {

class Capture;
class Filter;

class PulseSource final : public CaptureSource {
 public:
  // `dispatch`: its main queue is where the filter decides.
  explicit PulseSource(Dispatch& dispatch);
  ~PulseSource() override;

  [[nodiscard]] SourceResult open(const CaptureRequest& request, SourceReporter reporter) override;
  std::string deviceUID() const override;
  StreamDescription format() const override;
  std::string inputDeviceUID() const override;
  StreamDescription microphoneFormat() const override;
  [[nodiscard]] SourceResult attach(Queue& ioQueue, Delivery deliver) override;
  [[nodiscard]] SourceResult start() override;
  void close(std::chrono::steady_clock::time_point deadline) override;
  std::optional<std::string> defaultOutputUID() override;
  std::optional<std::string> defaultInputUID() override;

 private:
  // Reports, from any thread, only while open.
  class Reports {
   public:
    void open(SourceReporter reporter);
    void close();
    void report(SourceReport::Kind kind, const std::string& message = {});

   private:
    Mutex mutex_;
    SourceReporter reporter_ GUARDED_BY(mutex_);
  };
  // What the filter's pass on the main queue needs, alive as long as a task
  // posted there may run.
  struct Link {
    PulseSource* source;
  };
  struct Retired;

  void decide();
  void release();

  Dispatch& dispatch_;
  std::shared_ptr<Reports> reports_ = std::make_shared<Reports>();
  std::shared_ptr<Link> link_;
  CaptureRequest request_;
  std::unique_ptr<Session> session_;
  std::optional<SinkInfo> sink_;
  std::string microphone_;  // the default source's name, when asked for
  // Declared before the capture, so the capture (whose hook uses it) goes first.
  std::unique_ptr<Filter> filter_;
  std::unique_ptr<Capture> capture_;
  Queue* ioQueue_ = nullptr;
  Delivery deliver_;
  bool started_ = false;
  // Captures whose task had not returned by its close's deadline (stuck in a
  // delivery nobody reads): they and their connection live on until it has.
  std::vector<Retired> retired_;
};

}  // namespace audiotap::platform::linux
