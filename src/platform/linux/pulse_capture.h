// The record stream on a sink's monitor and the task that serves it.
//
// Ownership of the session moves with time: the main thread uses it to
// create and connect the stream; from start() on, one long task on the IO
// queue iterates the loop and nothing else touches the session until that
// task has returned (finished() is then true).
//
// The stream carries the sink's own channels (float32 at the sink's rate);
// the task mixes them down to their mean and hands the IO block mono float32,
// one frame for every frame of the sink's time: a hole in the stream, or data
// the server dropped, reaches the IO block as silence of the same length.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/hal.h"
#include "platform/linux/pulse_session.h"

namespace audiotap::platform::linux {

class Capture {
 public:
  using LostHandler = std::function<void(const std::string& message)>;
  // Sees every fragment (silence fills included) before the mixdown and the
  // IO block, on the serving task, and may overwrite its samples in place.
  using FragmentHook = std::function<void(float* interleaved, std::uint32_t frames, std::uint32_t channels)>;

  Capture(Session& session, pa_stream* stream, std::string source, std::uint32_t rate);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Creates the stream, unconnected: float32 at `rate` with the channels of
  // `source`. Null on failure, with the session's lastError() set.
  static pa_stream* makeStream(Session& session, const std::string& name, const std::string& source,
                               std::uint32_t rate);

  // Main thread, before start().
  void setFragmentHook(FragmentHook hook) { hook_ = std::move(hook); }

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
  // `samples` null: silence.
  void deliver(const float* samples, std::uint64_t frames);
  void checkReadIndex();
  void reportGap();
  std::string lossMessage() const;

  Session& session_;
  pa_stream* stream_;
  std::string source_;
  std::uint32_t rate_;
  std::uint32_t channels_ = 1;
  std::uint32_t frameBytes_ = sizeof(float);
  IOBlock block_;
  LostHandler lost_;
  FragmentHook hook_;
  // Serving task only, sized at start: a writable copy for the hook, the
  // mixdown, and a chunk of silence.
  std::vector<float> work_, mono_, silence_;
  std::uint64_t gapFrames_ = 0;      // of the loss episode under way
  std::uint64_t consumedBytes_ = 0;  // taken from the stream, holes included
  bool delivered_ = false;
  bool readable_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
};

}  // namespace audiotap::platform::linux
