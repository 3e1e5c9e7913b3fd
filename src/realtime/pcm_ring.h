// A bounded single-producer, single-consumer ring of 16-bit samples,
// allocated once. The producer (the IO block) never waits and never
// allocates: a block that does not fit whole is refused.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace audiotap::realtime {

class PcmRing {
 public:
  // Room for at least `minimumCapacity` samples (a power of two).
  explicit PcmRing(std::size_t minimumCapacity);

  // Producer only: all `count` samples, or none when they do not fit.
  bool push(const std::int16_t* samples, std::size_t count) noexcept;

  // Consumer only: the oldest samples that lie in one piece, empty when there
  // are none. They stay in the ring until consumed.
  std::span<const std::int16_t> readable() const noexcept;
  void consume(std::size_t count) noexcept;

  std::size_t capacity() const noexcept { return mask_ + 1; }

  // Running totals of samples pushed and consumed: the producer reads its
  // own and the consumer's, the consumer its own.
  std::uint64_t pushed() const noexcept { return written_.load(std::memory_order_relaxed); }
  std::uint64_t consumed() const noexcept { return read_.load(std::memory_order_relaxed); }
  // Producer only: samples waiting to be consumed.
  std::size_t used() const noexcept {
    return std::size_t(written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
  }

 private:
  std::unique_ptr<std::int16_t[]> data_;
  std::size_t mask_;
  // Running totals, never wrapped: 64 bits outlast any capture.
  alignas(64) std::atomic<std::uint64_t> written_{0};
  alignas(64) std::atomic<std::uint64_t> read_{0};
};

}  // namespace audiotap::realtime
