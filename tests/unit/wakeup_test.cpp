#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace audiotap::platform {
namespace {

// Rings land at every point of the sleeper's way to sleep. One slept through
// leaves the sleeper asleep until the next ring: here, an acknowledgement
// that never comes.
TEST(Wakeup, NoRingIsSleptThrough) {
  constexpr std::uint32_t kRounds = 100000;
  Wakeup bell;
  std::atomic<std::uint32_t> ready{0}, woken{0};
  std::atomic<bool> stop{false}, finished{false};
  std::thread sleeper([&] {
    for (std::uint32_t round = 1; round <= kRounds && !stop.load(); ++round) {
      const std::uint32_t seen = bell.count();
      ready.store(round, std::memory_order_release);
      bell.waitPast(seen);
      woken.store(round, std::memory_order_release);
    }
    finished.store(true);
  });
  std::uint32_t lostAt = 0;
  for (std::uint32_t round = 1; round <= kRounds && lostAt == 0; ++round) {
    while (ready.load(std::memory_order_acquire) != round) std::this_thread::yield();
    // A varying head start, so that rings fall before, inside and after the
    // sleeper's last look.
    for (std::uint32_t spin = round % 64; spin > 0; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
    bell.ring();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (woken.load(std::memory_order_acquire) != round) {
      if (std::chrono::steady_clock::now() > deadline) {
        lostAt = round;
        break;
      }
      std::this_thread::yield();
    }
  }
  stop.store(true);
  while (!finished.load()) {
    bell.ring();
    std::this_thread::yield();
  }
  sleeper.join();
  EXPECT_EQ(lostAt, 0u) << "the ring of this round was slept through";
}

}  // namespace
}  // namespace audiotap::platform
