// The writer's doorbell: a count that any thread moves on, and that one
// thread sleeps on until it has moved. Ringing never locks and never blocks,
// so the IO thread may ring it.
#pragma once

#include <atomic>
#include <cstdint>

namespace audiotap::platform {

class Wakeup {
 public:
  // The count now: read it before looking for work, then wait past it, so
  // that a ring while looking is never slept through.
  std::uint32_t count() const noexcept { return count_.load(std::memory_order_acquire); }
  void ring() noexcept;
  // Returns once the count is no longer `seen`; at once if it has moved.
  void waitPast(std::uint32_t seen) noexcept;

 private:
  std::atomic<std::uint32_t> count_{0};
};

}  // namespace audiotap::platform
