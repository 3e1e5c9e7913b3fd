#include "platform/soft/pcm.h"

#include <cmath>
#include <limits>
#include <new>

namespace audiotap::platform::soft {
namespace {

using platform::CommonFormat;

constexpr std::uint32_t kAlignedHigh = 1u << 4;
constexpr std::uint32_t kNonMixable = 1u << 6;
constexpr std::uint32_t kKnownFlags = platform::kAudioFormatFlagIsFloat |
                                      platform::kAudioFormatFlagIsSignedInteger |
                                      platform::kAudioFormatFlagIsPacked | kAlignedHigh |
                                      platform::kAudioFormatFlagIsNonInterleaved | kNonMixable;
// Larger buffers are a caller's arithmetic gone wrong, not audio.
constexpr std::size_t kMaxBufferBytes = std::size_t(1) << 30;

bool usableRate(double rate) { return std::isfinite(rate) && rate > 0; }

}  // namespace

std::optional<Layout> layoutFromStreamDescription(const platform::StreamDescription* d) {
  if (d == nullptr || d->mFormatID != platform::kAudioFormatLinearPCM || !usableRate(d->mSampleRate)) {
    return std::nullopt;
  }
  // Big-endian is among the unknown flags: only native order is read.
  if ((d->mFormatFlags & ~kKnownFlags) != 0) return std::nullopt;
  const bool isFloat = (d->mFormatFlags & platform::kAudioFormatFlagIsFloat) != 0;
  const bool isSigned = (d->mFormatFlags & platform::kAudioFormatFlagIsSignedInteger) != 0;
  if (isFloat == isSigned) return std::nullopt;
  if (d->mChannelsPerFrame == 0 || d->mChannelsPerFrame > kMaxChannels) return std::nullopt;

  Layout layout;
  layout.sample = isFloat ? CommonFormat::Float32 : CommonFormat::Int16;
  layout.rate = d->mSampleRate;
  layout.channels = d->mChannelsPerFrame;
  layout.interleaved =
      (d->mFormatFlags & platform::kAudioFormatFlagIsNonInterleaved) == 0 || layout.channels == 1;
  if (d->mBitsPerChannel != layout.bytesPerSample() * 8) return std::nullopt;
  if (d->mFramesPerPacket != 1 || d->mBytesPerFrame != layout.bytesPerBufferFrame() ||
      d->mBytesPerPacket != d->mBytesPerFrame) {
    return std::nullopt;
  }
  return layout;
}

std::optional<Layout> layoutFromCommonFormat(CommonFormat format, double rate, std::uint32_t channels,
                                             bool interleaved) {
  if (format != CommonFormat::Float32 && format != CommonFormat::Int16) return std::nullopt;
  if (!usableRate(rate) || channels == 0 || channels > kMaxChannels) return std::nullopt;
  return Layout{format, rate, channels, interleaved || channels == 1};
}

std::optional<std::uint32_t> SoftBuffer::framesIn(const platform::AudioBuffer* buffers,
                                                  std::uint32_t count) const {
  if (buffers == nullptr || count != layout_.bufferCount()) return std::nullopt;
  const std::uint32_t frameBytes = layout_.bytesPerBufferFrame();
  std::uint32_t frames = std::numeric_limits<std::uint32_t>::max();
  for (std::uint32_t i = 0; i < count; ++i) {
    const platform::AudioBuffer& b = buffers[i];
    if (b.mNumberChannels != layout_.channelsPerBuffer()) return std::nullopt;
    if (b.mDataByteSize > 0 &&
        (b.mData == nullptr || reinterpret_cast<std::uintptr_t>(b.mData) % layout_.bytesPerSample() != 0)) {
      return std::nullopt;
    }
    if (b.mDataByteSize / frameBytes < frames) frames = b.mDataByteSize / frameBytes;
  }
  return frames;
}

std::unique_ptr<SoftBuffer> SoftBuffer::wrap(const Layout& layout, const platform::AudioBufferList* list) {
  if (list == nullptr) return nullptr;
  std::unique_ptr<SoftBuffer> buffer(new (std::nothrow) SoftBuffer(layout));
  if (!buffer) return nullptr;
  // mBuffers is declared with one element but holds mNumberBuffers.
  const platform::AudioBuffer* buffers = &list->mBuffers[0];
  const auto frames = buffer->framesIn(buffers, list->mNumberBuffers);
  if (!frames) return nullptr;
  for (std::uint32_t i = 0; i < list->mNumberBuffers; ++i)
    buffer->setData(i, static_cast<std::byte*>(buffers[i].mData));
  buffer->capacity_ = buffer->frameLength_ = *frames;
  return buffer;
}

std::unique_ptr<SoftBuffer> SoftBuffer::makeWrapper(const Layout& layout, std::uint32_t capacity) {
  std::unique_ptr<SoftBuffer> buffer(new (std::nothrow) SoftBuffer(layout));
  if (!buffer) return nullptr;
  for (std::uint32_t i = 0; i < layout.bufferCount(); ++i) buffer->setData(i, nullptr);
  buffer->capacity_ = capacity;
  buffer->wrapper_ = true;
  return buffer;
}

bool SoftBuffer::rewrap(const platform::AudioBuffer* buffers, std::uint32_t count) {
  const auto frames = wrapper_ ? framesIn(buffers, count) : std::nullopt;
  if (!frames || *frames > capacity_) {
    frameLength_ = 0;
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) setData(i, static_cast<std::byte*>(buffers[i].mData));
  frameLength_ = *frames;
  return true;
}

std::unique_ptr<SoftBuffer> SoftBuffer::make(const Layout& layout, std::uint32_t capacity) {
  const std::size_t bufferBytes = std::size_t(capacity) * layout.bytesPerBufferFrame();
  if (bufferBytes * layout.bufferCount() > kMaxBufferBytes) return nullptr;
  std::unique_ptr<SoftBuffer> buffer(new (std::nothrow) SoftBuffer(layout));
  if (!buffer) return nullptr;
  buffer->owned_.reset(new (std::nothrow) std::byte[bufferBytes * layout.bufferCount()]);
  if (!buffer->owned_) return nullptr;
  for (std::uint32_t i = 0; i < layout.bufferCount(); ++i)
    buffer->setData(i, buffer->owned_.get() + i * bufferBytes);
  buffer->capacity_ = capacity;
  return buffer;
}

void SoftBuffer::setData(std::uint32_t index, std::byte* data) {
  data_[index] = data;
  // Interleaved data has one valid pointer: channel c starts c samples past it.
  if (layout_.sample == CommonFormat::Int16) int16_[index] = reinterpret_cast<std::int16_t*>(data);
}

}  // namespace audiotap::platform::soft
