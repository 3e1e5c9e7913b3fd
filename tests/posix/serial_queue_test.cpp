#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "platform/posix/posix_dispatch.h"

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;

// Never runs out on a loaded machine while the queue is free.
constexpr auto kGenerous = 30s;

TEST(SerialQueue, RunsEachPostersTasksInOrderOnOneOtherThreadAndDrainWaitsForThem) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.test");
  constexpr int kPosters = 4, kTasksEach = 2000;
  // Plain variables: tasks running on two threads at once would race under TSan.
  std::vector<int> lastSeen(kPosters, -1);
  std::vector<std::thread::id> runners;
  bool outOfOrder = false;
  std::vector<std::thread> posters;
  for (int poster = 0; poster < kPosters; ++poster) {
    posters.emplace_back([&, poster] {
      for (int i = 0; i < kTasksEach; ++i) {
        queue->async([&, poster, i] {
          outOfOrder |= lastSeen[poster] != i - 1;
          lastSeen[poster] = i;
          if (runners.empty() || runners.back() != std::this_thread::get_id())
            runners.push_back(std::this_thread::get_id());
        });
      }
    });
  }
  for (auto& poster : posters) poster.join();
  ASSERT_TRUE(queue->drain(kGenerous));
  EXPECT_FALSE(outOfOrder);
  EXPECT_EQ(lastSeen, std::vector<int>(kPosters, kTasksEach - 1));
  ASSERT_EQ(runners.size(), 1u);
  EXPECT_NE(runners.front(), std::this_thread::get_id());
}

TEST(SerialQueue, DrainGivesUpOnABlockedTaskAndSucceedsOnceItIsReleased) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("drain");
  std::latch release(1);
  std::atomic<bool> laterRan{false};
  queue->async([&] { release.wait(); });
  queue->async([&] { laterRan = true; });
  EXPECT_FALSE(queue->drain(20ms));
  EXPECT_FALSE(queue->drain(0ms));
  EXPECT_FALSE(laterRan.load());
  release.count_down();
  EXPECT_TRUE(queue->drain(kGenerous));
  EXPECT_TRUE(laterRan.load());
}

TEST(SerialQueue, DestroyingTheQueueFinishesTasksAlreadyPosted) {
  auto dispatch = makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("teardown");
  std::latch started(1), release(1);
  int ran = 0;
  queue->async([&] {
    started.count_down();
    release.wait();
  });
  for (int i = 0; i < 100; ++i) queue->async([&] { ++ran; });
  started.wait();
  std::thread releaser([&] {
    std::this_thread::sleep_for(10ms);  // lets the destructor start while a task blocks
    release.count_down();
  });
  queue.reset();
  releaser.join();
  EXPECT_EQ(ran, 100);
}

}  // namespace
}  // namespace audiotap::posix
