#include "platform/wakeup.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace audiotap::platform {

#if defined(_WIN32)
// Not std::atomic's wait: mingw-w64's libstdc++ has no futex, and sleeps on a
// condition variable that the notifier signals without taking its mutex, so
// a ring between the sleeper's last look and its sleep is lost, and the
// sleeper sleeps until the next one (for the writer at a stop: for ever).
// WaitOnAddress compares and sleeps in one step.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

void Wakeup::ring() noexcept {
  count_.fetch_add(1, std::memory_order_release);
  ::WakeByAddressSingle(&count_);
}

void Wakeup::waitPast(std::uint32_t seen) noexcept {
  while (count_.load(std::memory_order_acquire) == seen) {
    ::WaitOnAddress(&count_, &seen, sizeof(seen), INFINITE);
  }
}
#else
// A futex on Linux and __ulock on macOS: the comparison and the sleep are one
// step in the kernel.
void Wakeup::ring() noexcept {
  count_.fetch_add(1, std::memory_order_release);
  count_.notify_one();
}

void Wakeup::waitPast(std::uint32_t seen) noexcept { count_.wait(seen, std::memory_order_acquire); }
#endif

}  // namespace audiotap::platform
