// The IO block: converts each delivered buffer to 16-bit mono at the target
// rate and hands the samples to the writer. It never writes, waits or locks:
// a host that stops reading standard output cannot hold up the platform's IO
// thread.
//
// With a microphone, each delivery's microphone frames go through a
// conversion of their own, and the two are interleaved, system first, into
// frames that reach the writer whole, so a drop or owed silence never moves
// one channel against the other.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

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
  // tap's stream (and the microphone's, once added) and hands the samples to
  // the writer; allocates nothing and writes nothing: what goes wrong is
  // counted for the main thread to report. A microphone list that is missing
  // when one was added counts as silence of the tap's length.
  void operator()(const platform::AudioBufferList* input,
                  const platform::AudioBufferList* microphone = nullptr) noexcept;

  // Before the first call, off the IO thread: the microphone's conversion,
  // to the same output format; from then on the writer gets frames of two
  // channels (its meter's channels must be 2).
  void addMicrophone(TapConversion conversion);
  // Any thread but the IO thread, once a microphone was added: the
  // conversion for a new microphone format, taken up between two calls.
  void replaceMicrophoneConversion(TapConversion conversion);
  bool hasMicrophone() const noexcept { return scratch_ != nullptr; }

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
  // The same for the microphone.
  std::int64_t microphoneSilentNanoseconds() const noexcept {
    return microphoneSilentNanoseconds_.load(std::memory_order_relaxed);
  }

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
  // A channel's samples in the pairing: what it carried over, then the fresh
  // ones (zeros when `fresh` is null).
  struct Feed {
    const std::int16_t* carry;
    std::size_t carried;
    const std::int16_t* fresh;
    std::size_t count;
    std::size_t size() const noexcept { return carried + count; }
    std::int16_t operator[](std::size_t i) const noexcept {
      return i < carried ? carry[i] : fresh != nullptr ? fresh[i - carried] : std::int16_t(0);
    }
  };
  // The most samples a channel may run ahead of the other: the two
  // conversions take the same frames at the same rate, so their counts
  // differ by a sample now and then, never more for long.
  static constexpr std::size_t kCarry = 16;
  static constexpr std::size_t kScratchFrames = 1024;

  void prepare(TapConversion& conversion);
  void takePendingConversion() noexcept;
  void fillGap(double deliveredSeconds) noexcept;
  void observeSilence(const platform::AudioBuffer* buffers, std::uint32_t count,
                      const platform::StreamDescription& format, std::uint32_t frames,
                      std::atomic<std::int64_t>& silent) noexcept;
  bool wrapPiece(TapConversion& conversion, const platform::AudioBuffer* buffers, std::uint32_t count,
                 std::uint32_t done, std::uint32_t frames) noexcept;
  // The piece's samples, empty when the conversion failed or gave none;
  // `report`: its failures are the writer's to report.
  std::span<const std::int16_t> convertPiece(TapConversion& conversion, bool report, bool& failed) noexcept;
  void convertMicrophonePiece(const platform::AudioBufferList* microphone, std::uint32_t done, std::uint32_t frames,
                              std::span<const std::int16_t> system) noexcept;
  // Pushes the frames both channels have, after what each carried over;
  // keeps what one has beyond the other, up to kCarry.
  void pair(Feed system, Feed microphone) noexcept;

  TapConversion* current_;  // the IO thread's, once started
  std::atomic<TapConversion*> pending_{nullptr};
  std::atomic<TapConversion*> retired_{nullptr};
  TapConversion* microphone_ = nullptr;  // likewise; null without a microphone
  std::atomic<TapConversion*> pendingMicrophone_{nullptr};
  std::atomic<TapConversion*> retiredMicrophone_{nullptr};
  // Interleaved frames on their way to the writer, and each channel's carry.
  std::unique_ptr<std::int16_t[]> scratch_;
  std::array<std::array<std::int16_t, kCarry>, 2> carry_{};
  std::array<std::size_t, 2> carried_{};
  std::atomic<std::int64_t> microphoneSilentNanoseconds_{0};
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
