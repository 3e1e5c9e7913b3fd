// The software media's formats and buffers: linear PCM in native byte order,
// float32 or int16, interleaved or one buffer per channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/media.h"
#include "platform/types.h"

namespace audiotap::platform::soft {

inline constexpr std::uint32_t kMaxChannels = 64;

struct Layout {
  platform::CommonFormat sample = platform::CommonFormat::Float32;  // Float32 or Int16
  double rate = 0;
  std::uint32_t channels = 0;
  bool interleaved = true;  // always true for one channel: both layouts are the same memory

  std::uint32_t bytesPerSample() const { return sample == platform::CommonFormat::Int16 ? 2 : 4; }
  std::uint32_t bufferCount() const { return interleaved ? 1 : channels; }
  std::uint32_t channelsPerBuffer() const { return interleaved ? channels : 1; }
  std::uint32_t bytesPerBufferFrame() const { return bytesPerSample() * channelsPerBuffer(); }
  bool operator==(const Layout&) const = default;
};

std::optional<Layout> layoutFromStreamDescription(const platform::StreamDescription* description);
std::optional<Layout> layoutFromCommonFormat(platform::CommonFormat format, double rate,
                                             std::uint32_t channels, bool interleaved);

class SoftFormat final : public platform::AudioFormat {
 public:
  explicit SoftFormat(const Layout& layout) : layout_(layout) {}
  const Layout& layout() const { return layout_; }

 private:
  Layout layout_;
};

class SoftBuffer final : public platform::PcmBuffer {
 public:
  // Null when the list does not have the layout's shape.
  static std::unique_ptr<SoftBuffer> wrap(const Layout& layout, const platform::AudioBufferList* list);
  // Null when the memory cannot be had.
  static std::unique_ptr<SoftBuffer> make(const Layout& layout, std::uint32_t capacity);
  // Wraps nothing until rewrap().
  static std::unique_ptr<SoftBuffer> makeWrapper(const Layout& layout, std::uint32_t capacity);

  std::uint32_t frameLength() const override { return frameLength_; }
  void setFrameLength(std::uint32_t frames) override {
    frameLength_ = frames < capacity_ ? frames : capacity_;
  }
  std::int16_t* const* int16ChannelData() const override {
    return layout_.sample == platform::CommonFormat::Int16 ? int16_.data() : nullptr;
  }
  bool rewrap(const platform::AudioBuffer* buffers, std::uint32_t count) override;

  const Layout& layout() const { return layout_; }
  std::uint32_t capacity() const { return capacity_; }
  // Buffer `index` of layout().bufferCount(), frames of bytesPerBufferFrame().
  std::byte* data(std::uint32_t index) const { return data_[index]; }

 private:
  explicit SoftBuffer(const Layout& layout) : layout_(layout) {}
  void setData(std::uint32_t index, std::byte* data);
  // The frames `buffers` hold, or nothing when they do not fit the layout.
  std::optional<std::uint32_t> framesIn(const platform::AudioBuffer* buffers, std::uint32_t count) const;

  Layout layout_;
  std::uint32_t capacity_ = 0;
  std::uint32_t frameLength_ = 0;
  std::unique_ptr<std::byte[]> owned_;
  bool wrapper_ = false;
  // Only the first layout_.bufferCount() entries are set.
  std::array<std::byte*, kMaxChannels> data_;
  std::array<std::int16_t*, kMaxChannels> int16_;
};

}  // namespace audiotap::platform::soft
