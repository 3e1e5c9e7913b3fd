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
//
// Silence the IO block owes (the time a device move took) does not pass
// through the ring: it is a count placed at a position in the ring's stream,
// and the writer writes that many zeros when it gets there.
//
// With two channels (system and microphone, interleaved) everything moves in
// whole frames, and the frames pass through the echo stage before they are
// counted and written.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/dispatch.h"
#include "platform/media.h"
#include "platform/output.h"
#include "platform/wakeup.h"
#include "realtime/echo_stage.h"
#include "realtime/meter.h"
#include "realtime/pcm_ring.h"

namespace audiotap::realtime {

inline constexpr const char* kSamplesDropped =
    "standard output is not being read: audio is dropped until the host reads again";
inline constexpr const char* kUnwrappableBuffers =
    "the tap delivered buffers that do not match its stream format: their audio is dropped";
inline constexpr const char* kWriteFailed = "could not write to standard output: ";
inline constexpr const char* kEchoCancellerFailed =
    "the echo canceller failed: the microphone's channel goes out as it is";

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
  // bounds for absurd rates, in frames of the meter's channels. With two
  // channels, `stage` (required then) takes every frame before it is written.
  PcmWriter(double rate, double bufferedSeconds, platform::OutputHandle& output, Meter& meter,
            std::unique_ptr<EchoStage> stage = nullptr);

  std::uint32_t channels() const noexcept { return channels_; }

  // IO thread: hands the samples (whole frames) over whole, or drops them
  // all. Once the ring has been full, blocks are dropped until the writer
  // has emptied it to half, so that one stall of the host is one run of
  // drops however the blocks' sizes vary.
  void push(const std::int16_t* samples, std::uint32_t count) noexcept;
  // IO thread: `frames` frames of silence go out before the samples pushed
  // next.
  void owe(std::uint64_t frames) noexcept;
  // IO thread: whether the buffer list of this call could not be wrapped.
  void observeUnwrappable(bool unwrappable) noexcept;
  // IO thread: whether a conversion failed, and when a run of failures
  // begins, the converter's words for it.
  void observeConversion(bool failed, const platform::ConverterError* words) noexcept;

  // The writer's task; returns once finish() has been asked for and the
  // ring and the owed silence are written, once closed, or once a write has
  // failed.
  void run();

  // Main thread: one "error" for each run of dropped samples, of
  // unwrappable buffer lists and of failed conversions begun since the last
  // call, one for a failed write to standard output, and one, once, when the
  // echo canceller has failed.
  void reportLosses();

  // Whether a write to standard output has failed: nothing more is written.
  bool writeFailed() const noexcept { return writeFailed_.load(std::memory_order_acquire); }

  // Main thread: lets the writer empty the ring and waits for it, on
  // `writerQueue`, until `deadline`; then closes it, so that nothing more is
  // written or counted, and reports the last losses. Returns the samples
  // written, the write under way included.
  std::int64_t finish(platform::Queue& writerQueue, std::chrono::steady_clock::time_point deadline);

  // Runs on the writer's task after each wake-up (work that must stay off the
  // IO thread). Set before run().
  std::function<void()> housekeeping;
  // Runs on the writer's task once, when a write to standard output fails;
  // the writer then stops. Set before run().
  std::function<void()> onWriteFailure;

 private:
  struct Owed {
    std::uint64_t at;  // the ring's running total it goes before
    std::uint64_t count;
  };
  static constexpr std::size_t kMostOwed = 8;

  void wake() noexcept;
  bool writeOnce();
  // Through the echo stage, if any, then writeOut; false once a write failed.
  bool writeSamples(const std::int16_t* samples, std::size_t count);
  // Counts, writes and reports the samples; false once the write failed.
  bool writeOut(const std::int16_t* samples, std::size_t count);
  void flushStage();
  bool writeSilence(std::uint64_t count);
  bool owedPending() const noexcept;

  const std::uint32_t channels_;
  PcmRing ring_;
  platform::OutputHandle& output_;
  Meter& meter_;
  const std::unique_ptr<EchoStage> stage_;  // the writer's task, but takeFailed
  bool echoFailureReported_ = false;        // main thread
  Episodes dropped_;
  bool dropping_ = false;  // IO thread
  Episodes unwrappable_;
  Episodes conversionFailures_;
  // The first words of a run of failures, handed over while the slot is free.
  platform::ConverterError failureWords_;
  std::atomic<bool> failureWordsFull_{false};
  std::string lastFailureWords_;  // main thread
  std::array<Owed, kMostOwed> owed_{};
  std::atomic<std::uint64_t> owedPushed_{0};
  std::atomic<std::uint64_t> owedTaken_{0};
  std::atomic<bool> writeFailed_{false};
  std::string writeFailure_;           // set before writeFailed_
  bool writeFailureReported_ = false;  // main thread
  platform::Wakeup wakeups_;
  std::atomic<bool> finishing_{false};
  // Held while counting, reporting "level" or closing, so that nothing
  // counted or reported can follow the close.
  std::mutex mutex_;
  bool closed_ = false;
};

}  // namespace audiotap::realtime
