#include "realtime/pcm_ring.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace audiotap::realtime {

PcmRing::PcmRing(std::size_t minimumCapacity)
    : data_(new std::int16_t[std::bit_ceil(std::max<std::size_t>(minimumCapacity, 2))]),
      mask_(std::bit_ceil(std::max<std::size_t>(minimumCapacity, 2)) - 1) {}

bool PcmRing::push(const std::int16_t* samples, std::size_t count) noexcept {
  const std::uint64_t written = written_.load(std::memory_order_relaxed);
  const std::uint64_t read = read_.load(std::memory_order_acquire);
  if (count > capacity() - std::size_t(written - read)) return false;
  const std::size_t at = std::size_t(written) & mask_;
  const std::size_t first = std::min(count, capacity() - at);
  std::memcpy(data_.get() + at, samples, first * sizeof(std::int16_t));
  std::memcpy(data_.get(), samples + first, (count - first) * sizeof(std::int16_t));
  written_.store(written + count, std::memory_order_release);
  return true;
}

std::span<const std::int16_t> PcmRing::readable() const noexcept {
  const std::uint64_t read = read_.load(std::memory_order_relaxed);
  const std::uint64_t written = written_.load(std::memory_order_acquire);
  const std::size_t at = std::size_t(read) & mask_;
  return {data_.get() + at, std::min(std::size_t(written - read), capacity() - at)};
}

void PcmRing::consume(std::size_t count) noexcept {
  read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
}

}  // namespace audiotap::realtime
