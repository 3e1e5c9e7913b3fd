// The PulseAudio Hal against a real server: what the core relies on from it
// that the end-to-end tests cannot see.
#include "platform/linux/pulse_hal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"

namespace audiotap::test {
namespace {

using namespace std::chrono_literals;
using namespace platform;

// Fragments of about 10 ms reach the IO block one call at a time, on the
// queue it was given; after teardown none does, and no stream is left behind.
TEST(PulseHal, DeliversFragmentsOneAtATimeOnTheQueueUntilTornDown) {
  const auto server = givenServer();
  if (!server) GTEST_SKIP() << kNoServerReason;
  const int before = sourceOutputs();
  const std::string tapUUID = "6A0B1B5E-2D3C-4E5F-8A9B-0C1D2E3F4A5B";
  auto hal = pulse::makePulseHal();
  auto dispatch = posix::makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  std::thread::id queueThread;
  queue->async([&] { queueThread = std::this_thread::get_id(); });
  ASSERT_TRUE(queue->drain(5s));

  auto description = hal->makeMonoGlobalTapButExcludeProcesses({});
  description->setUUID(tapUUID);
  AudioObjectID tap = 0, aggregate = 0;
  IOProcID proc = nullptr;
  ASSERT_EQ(hal->createProcessTap(*description, &tap), 0);
  const Dictionary taps{{kSubTapUIDKey, tapUUID}, {kSubTapDriftCompensationKey, true}};
  ASSERT_EQ(
      hal->createAggregateDevice(
          {{kAggregateMainSubDeviceKey, server->sink}, {kAggregateTapListKey, Array{taps}}}, &aggregate),
      0);
  std::mutex mutex;
  std::vector<std::uint32_t> sizes;
  std::atomic<int> inFlight{0}, overlaps{0}, offQueue{0};
  ASSERT_EQ(hal->createIOProcIDWithBlock(&proc, aggregate, *queue,
                                         [&](const AudioBufferList* list) {
                                           overlaps += inFlight.fetch_add(1) != 0;
                                           offQueue += std::this_thread::get_id() != queueThread;
                                           std::this_thread::sleep_for(1ms);  // widens any overlap
                                           std::lock_guard lock(mutex);
                                           sizes.push_back(list->mBuffers[0].mDataByteSize);
                                           --inFlight;
                                         }),
            0);
  ASSERT_EQ(hal->deviceStart(aggregate, proc), 0);
  ASSERT_TRUE(play(server->sink, {{0.5, 440, 0.3, 0.3}}));
  EXPECT_EQ(sourceOutputs(), before + 1);
  hal->deviceStop(aggregate, proc);
  hal->destroyIOProcID(aggregate, proc);
  EXPECT_TRUE(queue->drain(5s));
  hal->destroyAggregateDevice(aggregate);
  hal->destroyProcessTap(tap);

  std::unique_lock lock(mutex);
  const std::size_t calls = sizes.size();
  lock.unlock();
  ASSERT_TRUE(play(server->sink, {{0.2, 440, 0.3, 0.3}}));
  EXPECT_EQ(sourceOutputs(before), before);
  lock.lock();
  EXPECT_EQ(sizes.size(), calls);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(offQueue.load(), 0);
  ASSERT_GT(calls, 10u);
  std::sort(sizes.begin(), sizes.end());
  EXPECT_LE(sizes[sizes.size() / 2], 2 * 480 * sizeof(float));  // mono float at 48 kHz
  EXPECT_EQ(sizes[0] % sizeof(float), 0u);
}

}  // namespace
}  // namespace audiotap::test
