#include "realtime/io_block.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

#include "events/channel.h"

namespace audiotap::realtime {

// The samples go out as they lie in memory, which is the little-endian stream.
static_assert(std::endian::native == std::endian::little);

IoBlock::IoBlock(TapConversion conversion, std::unique_ptr<platform::AudioFormat> outputFormat,
                 platform::Media& media, double targetRate, PcmWriter& writer)
    : current_(new TapConversion(std::move(conversion))),
      outputFormat_(std::move(outputFormat)),
      media_(media),
      targetRate_(targetRate),
      writer_(writer) {}

IoBlock::~IoBlock() {
  delete current_;
  delete pending_.load();
  delete retired_.load();
}

void IoBlock::replaceConversion(TapConversion conversion) {
  collectRetired();
  // One the IO block never took up is simply superseded.
  delete pending_.exchange(new TapConversion(std::move(conversion)), std::memory_order_acq_rel);
}

void IoBlock::collectRetired() noexcept { delete retired_.exchange(nullptr, std::memory_order_acq_rel); }

void IoBlock::takePendingConversion() noexcept {
  // The old conversion must be freed elsewhere; until it has been, the new
  // one waits.
  if (pending_.load(std::memory_order_relaxed) == nullptr || retired_.load(std::memory_order_acquire) != nullptr) {
    return;
  }
  TapConversion* next = pending_.exchange(nullptr, std::memory_order_acq_rel);
  if (next == nullptr) return;
  retired_.store(current_, std::memory_order_release);
  current_ = next;
}

void IoBlock::observeSilence(const platform::AudioBufferList& input, const platform::StreamDescription& format,
                             std::uint32_t frames) noexcept {
  // -0.0 is as silent as 0.0: float samples are compared without their sign.
  const bool float32 = (format.mFormatFlags & platform::kAudioFormatFlagIsFloat) != 0 && format.mBitsPerChannel == 32;
  const std::uint32_t mask = float32 ? 0x7FFFFFFFu : 0xFFFFFFFFu;
  std::uint32_t any = 0;
  for (std::uint32_t b = 0; b < input.mNumberBuffers; ++b) {
    // mBuffers is declared with one element but holds mNumberBuffers.
    const platform::AudioBuffer& buffer = (&input.mBuffers[0])[b];
    const auto* bytes = static_cast<const unsigned char*>(buffer.mData);
    if (bytes == nullptr) continue;
    const std::uint32_t words = buffer.mDataByteSize / 4;
    for (std::uint32_t i = 0; i < words; ++i) {
      std::uint32_t word;
      std::memcpy(&word, bytes + 4 * std::size_t(i), sizeof word);
      any |= word & mask;
    }
    for (std::uint32_t i = words * 4; i < buffer.mDataByteSize; ++i) any |= bytes[i];
  }
  const std::int64_t previous = silentNanoseconds_.load(std::memory_order_relaxed);
  const double rate = format.mSampleRate;
  const double length = rate > 0 ? double(frames) * 1e9 / rate : 0.0;
  silentNanoseconds_.store(any == 0 && length < 1e12 ? previous + std::int64_t(length) : 0,
                           std::memory_order_relaxed);
}

void IoBlock::fillGapSince(std::chrono::steady_clock::time_point since) noexcept {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since.time_since_epoch()).count();
  gapSince_.store(std::max<std::int64_t>(nanoseconds, 1), std::memory_order_release);
}

void IoBlock::fillGap(double deliveredSeconds) noexcept {
  // A minute bounds what a clock gone wrong could ask for.
  constexpr double kLongestGapSeconds = 60;
  static const std::int16_t zeros[1024] = {};
  const std::int64_t since = gapSince_.exchange(0, std::memory_order_acq_rel);
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now().time_since_epoch())
                       .count();
  const double seconds = std::min(double(now - since) * 1e-9 - deliveredSeconds, kLongestGapSeconds);
  for (auto left = std::int64_t(seconds > 0 ? std::llround(seconds * targetRate_) : 0); left > 0;) {
    const auto count = std::uint32_t(std::min<std::int64_t>(left, std::size(zeros)));
    writer_.push(zeros, count);
    left -= count;
  }
}

void IoBlock::operator()(const platform::AudioBufferList* input) noexcept {
  lastCall_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  try {
    takePendingConversion();
    TapConversion& conversion = *current_;
    const platform::StreamDescription& tapStreamFormat = conversion.tapStreamFormat;
    if (input == nullptr || input->mNumberBuffers == 0) return;
    const std::uint32_t bytes = input->mBuffers[0].mDataByteSize;
    if (bytes == 0) return;
    const std::uint32_t bytesPerFrame = tapStreamFormat.mBytesPerFrame == 0 ? 1 : tapStreamFormat.mBytesPerFrame;
    const std::uint32_t inputFrames = bytes / bytesPerFrame;
    if (inputFrames == 0) return;
    if (gapSince_.load(std::memory_order_relaxed) != 0) fillGap(double(inputFrames) / tapStreamFormat.mSampleRate);
    observeSilence(*input, tapStreamFormat, inputFrames);

    const auto inputBuffer = media_.wrapBufferListNoCopy(*conversion.tapFormat, input);
    writer_.observeUnwrappable(!inputBuffer);
    if (!inputBuffer) return;
    inputBuffer->setFrameLength(inputFrames);

    // A capacity that cannot be a frame count (absurd rates) drops the call
    // rather than sizing a wrong buffer.
    const double capacity = std::ceil(double(inputFrames) * targetRate_ / tapStreamFormat.mSampleRate) + 16.0;
    if (!(capacity >= 0.0 && capacity <= 4294967295.0)) return;
    const auto outputBuffer = media_.makeBuffer(*outputFormat_, static_cast<std::uint32_t>(capacity));
    if (!outputBuffer) return;

    bool consumed = false;
    std::optional<platform::ConverterError> error;
    const auto status = conversion.converter->convert(
        *outputBuffer, &error,
        [&](std::uint32_t, platform::ConverterInputStatus* inputStatus) -> platform::PcmBuffer* {
          if (consumed) {
            *inputStatus = platform::ConverterInputStatus::NoDataNow;
            return nullptr;
          }
          consumed = true;
          *inputStatus = platform::ConverterInputStatus::HaveData;
          return inputBuffer.get();
        });

    const std::uint32_t frames = outputBuffer->frameLength();
    std::int16_t* const* channels = outputBuffer->int16ChannelData();
    if (status == platform::ConverterOutputStatus::Error || frames == 0 || channels == nullptr) {
      if (error) events::emit("error", {{"message", error->localizedDescription}});
      return;
    }
    writer_.push(channels[0], frames);
  } catch (...) {
    // Nothing may unwind into the platform's IO thread; the call's audio is
    // dropped like any failed conversion.
  }
}

}  // namespace audiotap::realtime
