#include "platform/windows/wasapi/mix_fifo.h"

#include <algorithm>

namespace audiotap::platform::windows {

MixFifo::MixFifo(std::uint32_t capacityFrames, std::uint32_t channels)
    : ring_(std::size_t(capacityFrames) * channels), capacity_(capacityFrames), channels_(channels) {}

void MixFifo::push(const float* frames, std::uint32_t count) {
  if (count > capacity_) {
    if (frames != nullptr) frames += std::size_t(count - capacity_) * channels_;
    count = capacity_;
  }
  const std::uint32_t over = size_ + count > capacity_ ? size_ + count - capacity_ : 0;
  head_ = (head_ + over) % capacity_;
  size_ -= over;
  for (std::uint32_t i = 0; i < count; ++i) {
    float* slot = &ring_[std::size_t((head_ + size_ + i) % capacity_) * channels_];
    for (std::uint32_t c = 0; c < channels_; ++c)
      slot[c] = frames != nullptr ? frames[std::size_t(i) * channels_ + c] : 0.f;
  }
  size_ += count;
}

std::uint32_t MixFifo::addInto(float* out, std::uint32_t count) {
  const std::uint32_t n = std::min(count, size_);
  for (std::uint32_t i = 0; i < n; ++i) {
    const float* slot = &ring_[std::size_t((head_ + i) % capacity_) * channels_];
    for (std::uint32_t c = 0; c < channels_; ++c) out[std::size_t(i) * channels_ + c] += slot[c];
  }
  head_ = (head_ + n) % capacity_;
  size_ -= n;
  return n;
}

}  // namespace audiotap::platform::windows
