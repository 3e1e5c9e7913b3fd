// The IO block: converts each delivered buffer to 16-bit mono at the target
// rate and hands the samples to the writer. It never writes, waits or locks:
// a host that stops reading standard output cannot hold up the platform's IO
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/media.h"
#include "platform/types.h"
#include "realtime/pcm_writer.h"

namespace audiotap::realtime {

// What depends on the tap's format: replaced whole when that changes.
struct TapConversion {
  platform::StreamDescription tapStreamFormat{};
  std::unique_ptr<platform::AudioFormat> tapFormat;
  std::unique_ptr<platform::Converter> converter;
  // Made by the IO block, off the IO thread: the wrapper each delivery's
  // memory is pointed at, and the output of one conversion of up to
  // pieceFrames tap frames (0: they could not be made; nothing is converted).
  std::unique_ptr<platform::PcmBuffer> input;
  std::unique_ptr<platform::PcmBuffer> output;
  std::uint32_t pieceFrames = 0;
};

class IoBlock {
 public:
  IoBlock(TapConversion conversion, std::unique_ptr<platform::AudioFormat> outputFormat, platform::Media& media,
          double targetRate, PcmWriter& writer);
  ~IoBlock();
  IoBlock(const IoBlock&) = delete;
  IoBlock& operator=(const IoBlock&) = delete;

  // One call per delivered buffer list, never two at once. Converts the
  // tap's stream and hands the samples to the writer; allocates nothing and
  // writes nothing: what goes wrong is counted for the main thread to report.
  void operator()(const platform::AudioBufferList* input) noexcept;

  // Any thread but the IO thread: the conversion for a new tap format, taken
  // up between two calls, with its buffers made here. The output format and
  // the frame count carry on.
  void replaceConversion(TapConversion conversion);
  // Any thread but the IO thread: frees the conversion the IO block has let
  // go of, if any.
  void collectRetired() noexcept;

  const platform::AudioFormat& outputFormat() const { return *outputFormat_; }

  // How long the tap has delivered nothing but exact zeros, in nanoseconds
  // of audio; 0 once anything else comes.
  std::int64_t silentNanoseconds() const noexcept { return silentNanoseconds_.load(std::memory_order_relaxed); }

  // When the platform last called the block; the clock's epoch before the
  // first call.
  std::chrono::steady_clock::time_point lastCall() const noexcept {
    using Clock = std::chrono::steady_clock;
    return Clock::time_point(Clock::duration(lastCall_.load(std::memory_order_relaxed)));
  }

  // Before the device starts, after the capture has moved to another device:
  // the next call first owes the writer silence for the time since `since`
  // less the length of its own buffer, so the output keeps to the time
  // captured however long the new device takes to deliver.
  void fillGapSince(std::chrono::steady_clock::time_point since) noexcept;

 private:
  void prepare(TapConversion& conversion);
  void takePendingConversion() noexcept;
  void fillGap(double deliveredSeconds) noexcept;
  void observeSilence(const platform::AudioBuffer* buffers, std::uint32_t count,
                      const platform::StreamDescription& format, std::uint32_t frames) noexcept;
  void convertPiece(TapConversion& conversion) noexcept;

  TapConversion* current_;  // the IO thread's, once started
  std::atomic<TapConversion*> pending_{nullptr};
  std::atomic<TapConversion*> retired_{nullptr};
  const std::unique_ptr<platform::AudioFormat> outputFormat_;
  platform::Media& media_;
  const double targetRate_;
  PcmWriter& writer_;
  std::atomic<std::int64_t> silentNanoseconds_{0};
  std::atomic<std::chrono::steady_clock::rep> lastCall_{0};
  bool converterFailing_ = false;  // IO thread
  // Steady-clock nanoseconds since its epoch; 0: no gap to fill.
  std::atomic<std::int64_t> gapSince_{0};
};

}  // namespace audiotap::realtime
