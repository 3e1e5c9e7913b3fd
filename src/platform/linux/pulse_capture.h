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
// the server dropped, reaches the IO block as silence of the same length. So
// does the time the sink is suspended (PulseAudio's monitor then sends
// nothing): silence paced by the monotonic clock, until data comes again.
//
// With a microphone, a second record stream on its source, connected with
// the monitor's and served by the same task: its frames (their mean, float32
// at the sink's rate) wait in a clock lock, and each IO block call takes as
// many of them as it has of the sink's, so the microphone keeps the sink's
// clock. A microphone stream that ends (its source removed) is reported
// once; its frames are zeros from then on and the monitor goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/linux/clock_lock.h"
#include "platform/linux/pulse_session.h"

namespace audiotap::platform::linux {

class Capture {
 public:
  // The capture has ended: the connection went (`serverGone`) or the server
  // ended the stream.
  using LostHandler = std::function<void(bool serverGone, const std::string& message)>;
  // It goes on, and the user should know.
  using Handler = std::function<void(const std::string& message)>;
  // Sees every fragment (silence fills included) before the mixdown and the
  // IO block, on the serving task, and may overwrite its samples in place.
  using FragmentHook = std::function<void(float* interleaved, std::uint32_t frames, std::uint32_t channels)>;

  // `sink`: the one whose monitor the stream reads.
  Capture(Session& session, pa_stream* stream, SinkInfo sink);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Creates the stream, unconnected: float32 at `rate` with the channels of
  // `source`. Null on failure, with the session's lastError() set.
  static pa_stream* makeStream(Session& session, const std::string& name, const std::string& source,
                               std::uint32_t rate);

  // Main thread, before start().
  void setFragmentHook(FragmentHook hook) { hook_ = std::move(hook); }
  // Main thread, before start(): the microphone's stream (from makeStream,
  // at the sink's rate), owned from now on, and `lost` for its end.
  void addMicrophone(pa_stream* stream, std::string source, std::function<void()> lost);

  // Main thread. Connects the stream to the source (bounded wait) and posts
  // the serving task to `queue`. Returns 0 or a PulseAudio error code.
  int start(Queue& queue, Delivery block, LostHandler lost, Handler notice = nullptr);
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
  void querySink();
  void fillSuspended();
  int connect(pa_stream* stream, const std::string& source);
  void drainMicrophone();
  void checkMicrophoneReadIndex();
  void checkMicrophone();

  Session& session_;
  pa_stream* stream_;
  SinkInfo sink_;
  std::string source_;
  std::uint32_t rate_;
  std::uint32_t channels_ = 1;
  std::uint32_t frameBytes_ = sizeof(float);
  Delivery block_;
  LostHandler lost_;
  Handler notice_;
  FragmentHook hook_;
  // Serving task only, sized at start: a writable copy for the hook, the
  // mixdown, and a chunk of silence.
  std::vector<float> work_, mono_, silence_;
  std::uint64_t gapFrames_ = 0;      // of the loss episode under way
  std::uint64_t consumedBytes_ = 0;  // taken from the stream, holes included
  bool readable_ = false;
  // The sink's state, as the serving task last heard it.
  bool sinkChanged_ = false;
  bool suspended_ = false;
  pa_operation* sinkQuery_ = nullptr;
  // When data last came; while suspended, the silence written since
  // fillStartNs_ (fragments of fragmentFrames_).
  std::int64_t lastDataNs_ = 0, fillStartNs_ = 0;
  std::uint64_t filledFrames_ = 0;
  std::uint32_t fragmentFrames_ = 0;
  bool filling_ = false;
  bool noticed_ = false;  // of the suspend under way
  // The microphone, when asked for; its frames as the IO block gets them.
  pa_stream* mic_ = nullptr;
  std::string micSource_;
  std::function<void()> micLost_;
  std::uint32_t micChannels_ = 1;
  std::uint32_t micFrameBytes_ = sizeof(float);
  std::unique_ptr<ClockLock> lock_;
  std::vector<float> micOut_;
  std::uint64_t micConsumedBytes_ = 0;
  bool micEnded_ = false;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> running_{false};
};

}  // namespace audiotap::platform::linux
