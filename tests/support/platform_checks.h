// What every platform's dispatch and identity must do, checked alike.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace audiotap::testing {

// Runs `last` on the main queue after `turns` more turns of the loop.
inline void afterTurns(platform::Dispatch& dispatch, int turns, std::function<void()> last) {
  dispatch.asyncAfterOnMain(std::chrono::nanoseconds(0), [&dispatch, turns, last] {
    if (turns == 0) return last();
    afterTurns(dispatch, turns - 1, last);
  });
}

// Tasks run in order on one other thread, and drain() waits for them.
inline void expectSerialQueue(platform::Queue& queue) {
  using namespace std::chrono_literals;
  // Plain variables: tasks running on two threads at once would race under TSan.
  bool laterRan = false, outOfOrder = false;
  // Not std::latch: on Windows its wait can sleep through the count_down.
  std::mutex gate;
  std::condition_variable opened;
  bool open = false;
  queue.async([&] {
    std::unique_lock lock(gate);
    opened.wait(lock, [&] { return open; });
  });
  queue.async([&] { laterRan = true; });
  EXPECT_FALSE(queue.drain(20ms)) << "a blocked task";
  EXPECT_FALSE(laterRan);
  {
    std::lock_guard lock(gate);
    open = true;
  }
  opened.notify_all();

  // Posters race the queue's thread, which sleeps and wakes as they go.
  constexpr int kPosters = 4, kTasksEach = 2000;
  std::vector<int> lastSeen(kPosters, -1);
  std::vector<std::thread::id> runners;
  std::vector<std::thread> posters;
  for (int poster = 0; poster < kPosters; ++poster) {
    posters.emplace_back([&, poster] {
      for (int i = 0; i < kTasksEach; ++i) {
        queue.async([&, poster, i] {
          outOfOrder |= lastSeen[poster] != i - 1;
          lastSeen[poster] = i;
          if (runners.empty() || runners.back() != std::this_thread::get_id())
            runners.push_back(std::this_thread::get_id());
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(queue.drain(30s));
  EXPECT_TRUE(laterRan);
  EXPECT_FALSE(outOfOrder);
  EXPECT_EQ(lastSeen, std::vector<int>(kPosters, kTasksEach - 1));
  ASSERT_EQ(runners.size(), 1u);
  EXPECT_NE(runners.front(), std::this_thread::get_id());
}

// Canonical upper-case version 4 UUIDs that do not repeat.
inline void expectRandomUUIDs(const std::function<std::string()>& randomUUIDString) {
  // X: any upper-case hex digit; Y: 8, 9, A or B. A stuck byte shows as a position with one digit.
  const std::string form = "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX", hex = "0123456789ABCDEF";
  constexpr std::size_t kCount = 5000;
  std::set<std::string> seen;
  std::array<std::bitset<16>, 36> digits{};
  for (std::size_t i = 0; i < kCount; ++i) {
    const std::string uuid = randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t p = 0; p < 36; ++p) {
      const std::size_t digit = hex.find(uuid[p]);
      ASSERT_TRUE(form[p] == 'X'   ? digit < 16
                  : form[p] == 'Y' ? digit >= 8 && digit < 12
                                   : uuid[p] == form[p])
          << uuid;
      if (digit < 16) digits[p].set(digit);
    }
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), kCount);
  for (std::size_t p = 0; p < 36; ++p)
    EXPECT_EQ(digits[p].count(), form[p] == 'X' ? 16u : form[p] == 'Y' ? 4u : form[p] == '4' ? 1u : 0u) << p;
}

}  // namespace audiotap::testing
