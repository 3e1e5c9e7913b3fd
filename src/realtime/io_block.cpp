#include "realtime/io_block.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

namespace audiotap::realtime {
namespace {

// The samples go out as they lie in memory, which is the little-endian stream.
static_assert(std::endian::native == std::endian::little);

// The most tap frames converted at once, and the most output frames one
// conversion of them may give. Core Audio's IO buffers top out at a few
// thousand frames and the Linux backend hands over 2048 at most, so a call
// is one piece; a longer one (a simulator script, an odd driver) is
// converted in pieces of this size, each re-pointing the wrapper into the
// call's memory. The converter keeps its state across them, so the stream is
// the same as in one piece, and no call ever needs a larger buffer.
constexpr std::uint32_t kMostPieceFrames = 16384;
constexpr double kMostOutputFrames = 16384;
// A planar tap format has one buffer per channel.
constexpr std::uint32_t kMostTapBuffers = 64;

}  // namespace

IoBlock::IoBlock(TapConversion conversion, std::unique_ptr<platform::AudioFormat> outputFormat,
                 platform::Media& media, double targetRate, PcmWriter& writer)
    : current_(new TapConversion(std::move(conversion))),
      outputFormat_(std::move(outputFormat)),
      media_(media),
      targetRate_(targetRate),
      writer_(writer) {
  prepare(*current_);
}

IoBlock::~IoBlock() {
  delete current_;
  delete pending_.load();
  delete retired_.load();
  delete microphone_;
  delete pendingMicrophone_.load();
  delete retiredMicrophone_.load();
}

void IoBlock::addMicrophone(TapConversion conversion) {
  microphone_ = new TapConversion(std::move(conversion));
  prepare(*microphone_);
  scratch_.reset(new std::int16_t[2 * kScratchFrames]);
}

void IoBlock::replaceMicrophoneConversion(TapConversion conversion) {
  collectRetired();
  auto* next = new TapConversion(std::move(conversion));
  prepare(*next);
  delete pendingMicrophone_.exchange(next, std::memory_order_acq_rel);
}

void IoBlock::prepare(TapConversion& conversion) {
  conversion.pieceFrames = 0;
  const double ratio = targetRate_ / conversion.tapStreamFormat.mSampleRate;
  if (!(std::isfinite(ratio) && ratio > 0) || !conversion.tapFormat || !outputFormat_) return;
  // Extreme rates (up to 65536 output frames per input frame pass the format
  // step) shrink the piece, down to a frame, rather than grow the output.
  const auto piece =
      std::uint32_t(std::clamp(std::floor(kMostOutputFrames / ratio), 1.0, double(kMostPieceFrames)));
  const double capacity = std::ceil(double(piece) * ratio) + 16.0;
  if (!(capacity <= 4294967295.0)) return;
  conversion.input = media_.makeWrapper(*conversion.tapFormat, piece);
  conversion.output = media_.makeBuffer(*outputFormat_, std::uint32_t(capacity));
  if (conversion.input && conversion.output) conversion.pieceFrames = piece;
}

void IoBlock::replaceConversion(TapConversion conversion) {
  collectRetired();
  auto* next = new TapConversion(std::move(conversion));
  prepare(*next);
  // One the IO block never took up is simply superseded.
  delete pending_.exchange(next, std::memory_order_acq_rel);
}

void IoBlock::collectRetired() noexcept {
  delete retired_.exchange(nullptr, std::memory_order_acq_rel);
  delete retiredMicrophone_.exchange(nullptr, std::memory_order_acq_rel);
}

namespace {
void takeUp(TapConversion*& current, std::atomic<TapConversion*>& pending,
            std::atomic<TapConversion*>& retired) noexcept {
  // The old conversion must be freed elsewhere; until it has been, the new
  // one waits.
  if (pending.load(std::memory_order_relaxed) == nullptr || retired.load(std::memory_order_acquire) != nullptr) {
    return;
  }
  TapConversion* next = pending.exchange(nullptr, std::memory_order_acq_rel);
  if (next == nullptr) return;
  retired.store(current, std::memory_order_release);
  current = next;
}
}  // namespace

void IoBlock::takePendingConversion() noexcept {
  takeUp(current_, pending_, retired_);
  if (microphone_ != nullptr) takeUp(microphone_, pendingMicrophone_, retiredMicrophone_);
}

void IoBlock::observeSilence(const platform::AudioBuffer* buffers, std::uint32_t count,
                             const platform::StreamDescription& format, std::uint32_t frames,
                             std::atomic<std::int64_t>& silent) noexcept {
  // -0.0 is as silent as 0.0: float samples are compared without their sign.
  const bool float32 = (format.mFormatFlags & platform::kAudioFormatFlagIsFloat) != 0 && format.mBitsPerChannel == 32;
  const std::uint32_t mask = float32 ? 0x7FFFFFFFu : 0xFFFFFFFFu;
  std::uint32_t any = 0;
  for (std::uint32_t b = 0; b < count; ++b) {
    const auto* bytes = static_cast<const unsigned char*>(buffers[b].mData);
    if (bytes == nullptr) continue;
    const std::uint32_t size = buffers[b].mDataByteSize;
    const std::uint32_t words = size / 4;
    for (std::uint32_t i = 0; i < words; ++i) {
      std::uint32_t word;
      std::memcpy(&word, bytes + 4 * std::size_t(i), sizeof word);
      any |= word & mask;
    }
    for (std::uint32_t i = words * 4; i < size; ++i) any |= bytes[i];
  }
  const std::int64_t previous = silent.load(std::memory_order_relaxed);
  const double rate = format.mSampleRate;
  const double length = rate > 0 ? double(frames) * 1e9 / rate : 0.0;
  silent.store(any == 0 && length < 1e12 ? previous + std::int64_t(length) : 0, std::memory_order_relaxed);
}

void IoBlock::fillGapSince(std::chrono::steady_clock::time_point since) noexcept {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since.time_since_epoch()).count();
  gapSince_.store(std::max<std::int64_t>(nanoseconds, 1), std::memory_order_release);
}

void IoBlock::fillGap(double deliveredSeconds) noexcept {
  // A minute bounds what a clock gone wrong could ask for.
  constexpr double kLongestGapSeconds = 60;
  const std::int64_t since = gapSince_.exchange(0, std::memory_order_acq_rel);
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
  const double seconds = std::min(double(now - since) * 1e-9 - deliveredSeconds, kLongestGapSeconds);
  if (!(seconds > 0)) return;
  if (microphone_ != nullptr) {
    // What a channel carried over belongs before the gap: the system's goes
    // out beside silence, the microphone's is let go.
    pair({carry_[0].data(), carried_[0], nullptr, 0}, {carry_[1].data(), 0, nullptr, carried_[0]});
    carried_ = {};
  }
  writer_.owe(std::uint64_t(std::llround(seconds * targetRate_)));
}

void IoBlock::pair(Feed system, Feed microphone) noexcept {
  const std::size_t both = std::min(system.size(), microphone.size());
  // Beyond what the carry holds, the system's samples go out beside silence
  // and the microphone's oldest are let go.
  const std::size_t out = std::max(both, system.size() > kCarry ? system.size() - kCarry : 0);
  const std::size_t skip = microphone.size() - both > kCarry ? microphone.size() - both - kCarry : 0;
  for (std::size_t done = 0; done < out;) {
    const std::size_t frames = std::min(out - done, kScratchFrames);
    for (std::size_t i = 0; i < frames; ++i) {
      const std::size_t at = done + i;
      scratch_[2 * i] = system[at];
      scratch_[2 * i + 1] = at + skip < microphone.size() ? microphone[at + skip] : std::int16_t(0);
    }
    writer_.push(scratch_.get(), std::uint32_t(2 * frames));
    done += frames;
  }
  // What is left of one channel waits for the other's next samples. The
  // copy runs forward, never past where it reads.
  const auto keep = [](const Feed& feed, std::size_t from, std::array<std::int16_t, kCarry>& carry) {
    const std::size_t count = feed.size() > from ? feed.size() - from : 0;
    for (std::size_t i = 0; i < count; ++i) carry[i] = feed[from + i];
    return count;
  };
  carried_[0] = keep(system, out, carry_[0]);
  carried_[1] = keep(microphone, skip + out, carry_[1]);
}

std::span<const std::int16_t> IoBlock::convertPiece(TapConversion& conversion, bool report, bool& failed) noexcept {
  platform::PcmBuffer& output = *conversion.output;
  bool consumed = false;
  std::optional<platform::ConverterError> error;
  // The converter's words are asked for only when a run of failures begins:
  // on some platforms they cost an allocation.
  const auto status = conversion.converter->convert(
      output, converterFailing_ || !report ? nullptr : &error,
      [&](std::uint32_t, platform::ConverterInputStatus* inputStatus) -> platform::PcmBuffer* {
        if (consumed) {
          *inputStatus = platform::ConverterInputStatus::NoDataNow;
          return nullptr;
        }
        consumed = true;
        *inputStatus = platform::ConverterInputStatus::HaveData;
        return conversion.input.get();
      });
  failed = status == platform::ConverterOutputStatus::Error;
  if (report) {
    converterFailing_ = failed;
    writer_.observeConversion(failed, error ? &*error : nullptr);
  }
  const std::uint32_t frames = output.frameLength();
  std::int16_t* const* channels = output.int16ChannelData();
  if (failed || frames == 0 || channels == nullptr) return {};
  return {channels[0], frames};
}

bool IoBlock::wrapPiece(TapConversion& conversion, const platform::AudioBuffer* buffers, std::uint32_t count,
                        std::uint32_t done, std::uint32_t frames) noexcept {
  const std::uint32_t bytesPerFrame =
      conversion.tapStreamFormat.mBytesPerFrame == 0 ? 1 : conversion.tapStreamFormat.mBytesPerFrame;
  const std::size_t offset = std::size_t(done) * bytesPerFrame;
  platform::AudioBuffer piece[kMostTapBuffers];
  for (std::uint32_t b = 0; b < count; ++b) {
    const std::uint32_t size = buffers[b].mDataByteSize;
    const std::uint32_t left = size > offset ? std::uint32_t(size - offset) : 0;
    void* data = buffers[b].mData == nullptr ? nullptr : static_cast<char*>(buffers[b].mData) + offset;
    piece[b] = {buffers[b].mNumberChannels, std::min(left, frames * bytesPerFrame), data};
  }
  return conversion.input->rewrap(piece, count);
}

void IoBlock::convertMicrophonePiece(const platform::AudioBufferList* microphone, std::uint32_t done,
                                     std::uint32_t frames, std::span<const std::int16_t> system) noexcept {
  TapConversion& conversion = *microphone_;
  const std::uint32_t bytesPerFrame =
      conversion.tapStreamFormat.mBytesPerFrame == 0 ? 1 : conversion.tapStreamFormat.mBytesPerFrame;
  std::span<const std::int16_t> converted;
  bool silent = true;
  if (microphone != nullptr && microphone->mNumberBuffers > 0 && microphone->mNumberBuffers <= kMostTapBuffers &&
      conversion.pieceFrames != 0) {
    const std::uint32_t available = microphone->mBuffers[0].mDataByteSize / bytesPerFrame;
    const std::uint32_t take = available > done ? std::min(frames, available - done) : 0;
    if (take > 0 && wrapPiece(conversion, &microphone->mBuffers[0], microphone->mNumberBuffers, done, take)) {
      bool failed = false;
      converted = convertPiece(conversion, false, failed);
      silent = failed;
    }
  }
  // A missing or unreadable microphone is silence beside the system's
  // samples.
  pair({carry_[0].data(), carried_[0], system.data(), system.size()},
       silent ? Feed{carry_[1].data(), carried_[1], nullptr, system.size()}
              : Feed{carry_[1].data(), carried_[1], converted.data(), converted.size()});
}

void IoBlock::operator()(const platform::AudioBufferList* input, const platform::AudioBufferList* microphone) noexcept {
  lastCall_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  try {
    takePendingConversion();
    TapConversion& conversion = *current_;
    const platform::StreamDescription& tapStreamFormat = conversion.tapStreamFormat;
    if (input == nullptr || input->mNumberBuffers == 0) return;
    if (input->mNumberBuffers > kMostTapBuffers) {
      writer_.observeUnwrappable(true);
      return;
    }
    // mBuffers is declared with one element but holds mNumberBuffers.
    const platform::AudioBuffer* buffers = &input->mBuffers[0];
    const std::uint32_t count = input->mNumberBuffers;
    const std::uint32_t bytes = buffers[0].mDataByteSize;
    if (bytes == 0) return;
    const std::uint32_t bytesPerFrame = tapStreamFormat.mBytesPerFrame == 0 ? 1 : tapStreamFormat.mBytesPerFrame;
    const std::uint32_t inputFrames = bytes / bytesPerFrame;
    if (inputFrames == 0) return;
    if (gapSince_.load(std::memory_order_relaxed) != 0) fillGap(double(inputFrames) / tapStreamFormat.mSampleRate);
    observeSilence(buffers, count, tapStreamFormat, inputFrames, silentNanoseconds_);
    std::uint32_t pieceFrames = conversion.pieceFrames;
    if (microphone_ != nullptr) {
      // Missing, its frames count as silence of the tap's length (the
      // microphone's frames are as many, at the same rate).
      const bool listed = microphone != nullptr && microphone->mNumberBuffers <= kMostTapBuffers;
      platform::StreamDescription format = microphone_->tapStreamFormat;
      format.mSampleRate = tapStreamFormat.mSampleRate;
      observeSilence(listed ? &microphone->mBuffers[0] : nullptr, listed ? microphone->mNumberBuffers : 0, format,
                     inputFrames, microphoneSilentNanoseconds_);
      if (microphone_->pieceFrames != 0) pieceFrames = std::min(pieceFrames, microphone_->pieceFrames);
    }
    if (pieceFrames == 0) return;

    for (std::uint32_t done = 0; done < inputFrames;) {
      const std::uint32_t frames = std::min(pieceFrames, inputFrames - done);
      const bool wrapped = wrapPiece(conversion, buffers, count, done, frames);
      writer_.observeUnwrappable(!wrapped);
      if (!wrapped) return;
      bool failed = false;
      const std::span<const std::int16_t> system = convertPiece(conversion, true, failed);
      if (microphone_ == nullptr) {
        if (!system.empty()) writer_.push(system.data(), std::uint32_t(system.size()));
      } else if (!failed) {
        // A failed piece of the system's is dropped from both channels.
        convertMicrophonePiece(microphone, done, frames, system);
      }
      done += frames;
    }
  } catch (...) {
    // Nothing may unwind into the platform's IO thread; the call's audio is
    // dropped like any failed conversion.
  }
}

}  // namespace audiotap::realtime
