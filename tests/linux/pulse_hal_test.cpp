// The PulseAudio Hal against a real server: what the core relies on from it
// that the end-to-end tests cannot see.
#include "platform/linux/hal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/linux/pulse_capture.h"
#include "platform/posix/posix_dispatch.h"
#include "pulse_graph.h"
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
  auto hal = linux::makePulseHal();
  auto dispatch = posix::makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  std::thread::id queueThread;
  queue->async([&] { queueThread = std::this_thread::get_id(); });
  ASSERT_TRUE(queue->drain(5s));

  AudioObjectID tap = 0, aggregate = 0;
  IOProcID proc = nullptr;
  ASSERT_NO_FATAL_FAILURE(makeTapAndAggregate(*hal, server->sink, tapUUID, &tap, &aggregate));
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

// The hook sees the sink's own channels and may rewrite them; the IO block
// then gets their mean, mono.
TEST(PulseCapture, TheHookRewritesFragmentsBeforeTheMixdown) {
  const auto server = givenServer();
  if (!server) GTEST_SKIP() << kNoServerReason;
  linux::Session session(5s);
  const auto sink = session.defaultSink();
  ASSERT_TRUE(sink);
  pa_stream* stream = linux::Capture::makeStream(session, "hook test", sink->monitorSource, sink->rate);
  ASSERT_NE(stream, nullptr);
  linux::Capture capture(session, stream, *sink);
  std::atomic<std::uint32_t> hookChannels{0};
  capture.setFragmentHook([&](float* samples, std::uint32_t frames, std::uint32_t channels) {
    hookChannels = channels;
    for (std::uint32_t i = 0; i < frames * channels; ++i) samples[i] = i % channels == 0 ? 0.9f : -0.3f;
  });
  auto dispatch = posix::makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  std::mutex mutex;
  std::vector<float> seen;
  ASSERT_EQ(capture.start(*queue,
                          [&](const AudioBufferList* list) {
                            EXPECT_EQ(list->mBuffers[0].mNumberChannels, 1u);
                            const auto* x = static_cast<const float*>(list->mBuffers[0].mData);
                            std::lock_guard lock(mutex);
                            seen.insert(seen.end(), x, x + list->mBuffers[0].mDataByteSize / sizeof(float));
                          },
                          nullptr),
            0);
  ASSERT_TRUE(play(server->sink, {{0.3, 440, 0.5, 0.5}}));
  capture.stop();
  ASSERT_TRUE(queue->drain(5s));
  EXPECT_EQ(hookChannels.load(), 2u);
  std::lock_guard lock(mutex);
  ASSERT_GT(seen.size(), 4800u);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), (0.9f - 0.3f) / 2), std::ptrdiff_t(seen.size()));
}

}  // namespace
}  // namespace audiotap::test
