// The capture's streams and the task that serves them on the IO queue.
//
// One stream (a leg) for loopback of the endpoint; one per included process
// tree for process loopback, where the first leg's packets set the pace and
// the others' audio is added in (sum). The task waits on the legs' events,
// with a timeout so that the clock is read even when no packet comes: while
// nothing plays loopback sends nothing, and the timeline turns that time into
// silence. Buffers are made at construction; the task never allocates per
// packet.
#pragma once

#include <audioclient.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_source.h"
#include "platform/windows/wasapi/com.h"
#include "platform/windows/wasapi/mix_fifo.h"
#include "platform/windows/wasapi/reports.h"
#include "platform/windows/wasapi/samples.h"
#include "platform/windows/wasapi/timeline.h"

namespace audiotap::platform::windows {

struct Leg {
  Com<IAudioClient> client;
  Com<IAudioCaptureClient> capture;
  HANDLE event = nullptr;
  SampleLayout layout{};

  Leg() = default;
  Leg(Leg&& other) noexcept;
  Leg& operator=(Leg&&) = delete;
  ~Leg();
};

// Initialises `client` for event-driven shared-mode loopback in `format` and
// fills the leg; `what` names the call that failed.
HRESULT prepareLeg(Com<IAudioClient> client, const WAVEFORMATEX& format, DWORD extraFlags,
                   const SampleLayout& layout, Leg& leg, const char*& what);

// The time now in 100-nanosecond ticks of the performance counter, the unit
// and clock of the packets' stamps.
std::int64_t performanceTicks();

class Stream : public std::enable_shared_from_this<Stream> {
 public:
  // `legs` all share `channels` and `rate`; `device` names the endpoint in reports.
  Stream(std::vector<Leg> legs, std::uint32_t rate, std::uint32_t channels, std::string device,
         std::shared_ptr<Reports> reports);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Main thread, before start().
  void setDelivery(Delivery deliver) { deliver_ = std::move(deliver); }
  // Main thread: starts the clients. On failure, `what` names the call.
  HRESULT start(const char*& what);
  // Main thread, once start() succeeded: the task that serves the legs, on
  // the IO queue until stop(). It holds the stream.
  void post(Queue& ioQueue);
  // Main thread. No delivery begins once this returns; one under way is
  // waited for until `deadline`. True when the task has ended (or never ran).
  bool stop(std::chrono::steady_clock::time_point deadline);

 private:
  void serve();
  HRESULT drain(std::size_t index);
  // `samples` null: silence. Mixed with the other legs' audio, in chunks.
  void deliver(const std::byte* samples, const SampleLayout& layout, std::uint64_t frames);
  void reportLost(std::uint64_t frames);
  void reportEnd(HRESULT status, const char* what);

  std::vector<Leg> legs_;
  std::uint32_t rate_, channels_;
  std::string device_;
  std::shared_ptr<Reports> reports_;
  Delivery deliver_;
  Timeline timeline_;
  std::vector<MixFifo> fifos_;  // one per leg after the first
  std::vector<float> work_, scratch_;
  HANDLE stopEvent_ = nullptr, doneEvent_ = nullptr;
  std::atomic<bool> stopping_{false};
  bool started_ = false, posted_ = false;
};

}  // namespace audiotap::platform::windows
