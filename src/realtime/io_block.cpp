#include "realtime/io_block.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

#include "events/channel.h"

namespace audiotap::realtime {

// The samples go out as they lie in memory, which is the little-endian stream.
static_assert(std::endian::native == std::endian::little);

void IoBlock::operator()(const platform::AudioBufferList* input) noexcept {
  try {
    if (input == nullptr || input->mNumberBuffers == 0) return;
    const std::uint32_t bytes = input->mBuffers[0].mDataByteSize;
    if (bytes == 0) return;
    const std::uint32_t bytesPerFrame = tapStreamFormat.mBytesPerFrame == 0 ? 1 : tapStreamFormat.mBytesPerFrame;
    const std::uint32_t inputFrames = bytes / bytesPerFrame;
    if (inputFrames == 0) return;

    const auto inputBuffer = media->wrapBufferListNoCopy(*tapFormat, input);
    if (!inputBuffer) return;
    inputBuffer->setFrameLength(inputFrames);

    // A capacity that cannot be a frame count (absurd rates) drops the call
    // rather than sizing a wrong buffer.
    const double capacity = std::ceil(double(inputFrames) * targetRate / tapStreamFormat.mSampleRate) + 16.0;
    if (!(capacity >= 0.0 && capacity <= 4294967295.0)) return;
    const auto outputBuffer = media->makeBuffer(*outputFormat, static_cast<std::uint32_t>(capacity));
    if (!outputBuffer) return;

    bool consumed = false;
    std::optional<platform::ConverterError> error;
    const auto status = converter->convert(
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

    const std::int16_t* samples = channels[0];
    meterUpdate(*meter, samples, frames);
    stdoutHandle->writeAll(samples, std::size_t(frames) * sizeof(std::int16_t));
    reportIfDue(*meter);
  } catch (...) {
    // Nothing may unwind into the platform's IO thread; the call's audio is
    // dropped like any failed conversion.
  }
}

}  // namespace audiotap::realtime
