// The writer: the IO block hands converted samples over through a bounded
// ring, and the writer, a long task on a queue of its own, writes them to
// standard output, feeds the level meter and reports what the IO block could
// not do. So a host that stops reading standard output stalls the writer,
// never the platform's IO thread.
//
// When the ring is full (the host has not read for some seconds), the IO
// block drops the new samples: they are neither written nor counted, and one
// "error" reports each run of drops. The main thread reports them, since the
// writer itself may then be stuck in a write.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/dispatch.h"
#include "platform/output.h"
#include "realtime/meter.h"
#include "realtime/pcm_ring.h"

namespace audiotap::realtime {

inline constexpr const char* kSamplesDropped =
    "standard output is not being read: audio is dropped until the host reads again";
inline constexpr const char* kUnwrappableBuffers =
    "the tap delivered buffers that do not match its stream format: their audio is dropped";

// Runs of a condition that one thread observes, counted so that another can
// report each run once.
class Episodes {
 public:
  // The observing thread only.
  void observe(bool happening) noexcept {
    if (happening && !inEpisode_) begun_.fetch_add(1, std::memory_order_release);
    inEpisode_ = happening;
  }
  // The reporting thread only: runs begun since the last call.
  std::uint64_t takeBegun() noexcept {
    const std::uint64_t begun = begun_.load(std::memory_order_acquire);
    const std::uint64_t fresh = begun - taken_;
    taken_ = begun;
    return fresh;
  }

 private:
  bool inEpisode_ = false;
  std::atomic<std::uint64_t> begun_{0};
  std::uint64_t taken_ = 0;
};

class PcmWriter {
 public:
  // The ring holds about `bufferedSeconds` of output at `rate`, within sane
  // bounds for absurd rates.
  PcmWriter(double rate, double bufferedSeconds, platform::OutputHandle& output, Meter& meter);

  // IO thread: hands the samples over whole, or drops them all.
  void push(const std::int16_t* samples, std::uint32_t count) noexcept;
  // IO thread: whether the buffer list of this call could not be wrapped.
  void observeUnwrappable(bool unwrappable) noexcept;

  // The writer's task; returns once finish() has been asked for and the
  // ring is empty, or once closed.
  void run();

  // Main thread: one "error" for each run of dropped samples and for each
  // run of unwrappable buffer lists begun since the last call.
  void reportLosses();

  // Main thread: lets the writer empty the ring and waits for it, on
  // `writerQueue`, until `deadline`; then closes it, so that nothing more is
  // written or counted, and reports the last losses. Returns the samples
  // written, the write under way included.
  std::int64_t finish(platform::Queue& writerQueue, std::chrono::steady_clock::time_point deadline);

  // Runs on the writer's task after each wake-up (work that must stay off the
  // IO thread). Set before run().
  std::function<void()> housekeeping;

 private:
  void wake() noexcept;
  bool writeOnce();

  PcmRing ring_;
  platform::OutputHandle& output_;
  Meter& meter_;
  Episodes dropped_;
  Episodes unwrappable_;
  std::atomic<std::uint32_t> wakeups_{0};
  std::atomic<bool> finishing_{false};
  // Held while counting, reporting "level" or closing, so that nothing
  // counted or reported can follow the close.
  std::mutex mutex_;
  bool closed_ = false;
};

}  // namespace audiotap::realtime
