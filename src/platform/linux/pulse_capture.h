// The record stream on a sink's monitor and the task that serves it.
//
// Ownership of the session moves with time: the main thread uses it to
// create and connect the stream; from start() on, one long task on the IO
// queue iterates the loop and nothing else touches the session until that
// task has returned (finished() is then true).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/hal.h"
#include "platform/linux/pulse_session.h"

namespace audiotap::platform::pulse {

class Capture {
 public:
  using LostHandler = std::function<void(const std::string& message)>;

  Capture(Session& session, pa_stream* stream, std::string source, std::uint32_t rate);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Creates the stream, unconnected: float32 mono at `rate`. Null on failure,
  // with the session's lastError() set.
  static pa_stream* makeStream(Session& session, const std::string& name, std::uint32_t rate);

  // Main thread. Connects the stream to the source (bounded wait) and posts
  // the serving task to `queue`. Returns 0 or a PulseAudio error code.
  int start(Queue& queue, IOBlock block, LostHandler lost);
  // Any thread. No new IO block call begins once this has returned, beyond
  // one that had already passed its check; the task then returns promptly.
  void stop();
  // True once the serving task has returned, or when it never ran.
  bool finished() const { return !running_.load(std::memory_order_acquire); }

 private:
  void serve();
  void deliverReadable();
  std::string lossMessage() const;

  Session& session_;
  pa_stream* stream_;
  std::string source_;
  std::uint32_t rate_;
  IOBlock block_;
  LostHandler lost_;
  bool delivered_ = false;  // serving task only
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
};

}  // namespace audiotap::platform::pulse
