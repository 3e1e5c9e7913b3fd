// The PulseAudio Hal against a real server: what the core relies on, call by
// call, without the rest of the process.
#include "platform/linux/pulse_hal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"

namespace audiotap::testing {
namespace {

using namespace std::chrono_literals;
using platform::AudioObjectID;
using platform::Dictionary;
using platform::PropertyAddress;
using platform::StreamDescription;

struct Delivery {
  std::mutex mutex;
  std::vector<float> samples;
  std::vector<std::uint32_t> sizes;
  std::atomic<int> calls{0}, inFlight{0}, overlaps{0}, offQueue{0};
  std::thread::id queueThread;
};

constexpr PropertyAddress kDefaultOutput{platform::kAudioHardwarePropertyDefaultOutputDevice,
                                         platform::kAudioObjectPropertyScopeGlobal, 0};
constexpr PropertyAddress kUID{platform::kAudioDevicePropertyDeviceUID,
                               platform::kAudioObjectPropertyScopeGlobal, 0};
constexpr PropertyAddress kTapFormat{platform::kAudioTapPropertyFormat,
                                     platform::kAudioObjectPropertyScopeGlobal, 0};

// The graph the core builds, up to the registered IO block.
struct Graph {
  std::unique_ptr<platform::Hal> hal = platform::pulse::makePulseHal();
  AudioObjectID device = 0, tap = 0, aggregate = 0;
  std::string uid, tapUUID = "6A0B1B5E-2D3C-4E5F-8A9B-0C1D2E3F4A5B";
  StreamDescription format{};
  std::unique_ptr<platform::Dispatch> dispatch = posix::makePosixDispatch();
  std::unique_ptr<platform::Queue> queue = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  platform::IOProcID proc = nullptr;

  platform::OSStatus readDevice() {
    std::uint32_t size = sizeof device;
    const platform::OSStatus status = hal->getPropertyData(1, kDefaultOutput, &size, &device);
    if (status != 0) return status;
    platform::StringRef ref = nullptr;
    size = sizeof ref;
    if (hal->getPropertyData(device, kUID, &size, &ref) != 0 || ref == nullptr) return -1;
    uid = hal->copyString(ref).value_or("");
    hal->releaseString(ref);
    return 0;
  }
  Dictionary description(const std::string& main, const std::string& subTap) const {
    return {{"name", "Orvane Tap"},
            {"uid", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9"},
            {"master", main},
            {"taps", platform::Array{Dictionary{{"uid", subTap}, {"drift", true}}}}};
  }
  void build(Delivery& delivery, std::function<void(const std::string&)> lost = {}) {
    ASSERT_EQ(readDevice(), 0);
    auto tapDescription = hal->makeMonoGlobalTapButExcludeProcesses({});
    tapDescription->setUUID(tapUUID);
    tapDescription->setMuteBehavior(0);
    ASSERT_EQ(hal->createProcessTap(*tapDescription, &tap), 0);
    ASSERT_EQ(hal->createAggregateDevice(description(uid, tapUUID), &aggregate), 0);
    std::uint32_t size = sizeof format;
    ASSERT_EQ(hal->getPropertyData(tap, kTapFormat, &size, &format), 0);
    queue->async([&delivery] { delivery.queueThread = std::this_thread::get_id(); });
    queue->drain(5s);
    auto block = [&delivery](const platform::AudioBufferList* list) {
      if (delivery.inFlight.fetch_add(1) != 0) ++delivery.overlaps;
      if (std::this_thread::get_id() != delivery.queueThread) ++delivery.offQueue;
      const auto& buffer = list->mBuffers[0];
      {
        std::lock_guard lock(delivery.mutex);
        delivery.sizes.push_back(buffer.mDataByteSize);
        const auto* data = static_cast<const float*>(buffer.mData);
        delivery.samples.insert(delivery.samples.end(), data, data + buffer.mDataByteSize / sizeof(float));
      }
      ++delivery.calls;
      --delivery.inFlight;
    };
    ASSERT_EQ(hal->createIOProcIDWithBlock(&proc, aggregate, *queue, block), 0);
    hal->setDeviceLostHandler(std::move(lost));
  }
  void teardown() {
    hal->deviceStop(aggregate, proc);
    hal->destroyIOProcID(aggregate, proc);
    EXPECT_TRUE(queue->drain(5s));
    hal->destroyAggregateDevice(aggregate);
    hal->destroyProcessTap(tap);
  }
};

class PulseHalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = givenServer();
    if (!server_) GTEST_SKIP() << kNoServerReason;
  }
  std::optional<PrivateServer> server_;
};

TEST_F(PulseHalTest, DeliversTheMonoMixdownInPlaceOnTheQueue) {
  struct Case {
    double left, right, mono;
  } cases[] = {{0.5, 0.5, 0.5}, {0.6, 0.0, 0.3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "left " << c.left << " right " << c.right);
    Delivery delivery;
    Graph graph;
    graph.build(delivery);
    ASSERT_EQ(graph.hal->deviceStart(graph.aggregate, graph.proc), 0);
    ASSERT_TRUE(play(server_->sink, {{1.0, 997, c.left, c.right}}));
    graph.teardown();

    EXPECT_EQ(delivery.overlaps.load(), 0);
    EXPECT_EQ(delivery.offQueue.load(), 0);
    std::lock_guard lock(delivery.mutex);
    ASSERT_FALSE(delivery.sizes.empty());
    std::vector<std::uint32_t> sizes = delivery.sizes;
    std::sort(sizes.begin(), sizes.end());
    // About 10 ms a fragment: 480 frames of 4 bytes at 48 kHz.
    EXPECT_LE(sizes[sizes.size() / 2], 2 * 480 * 4u);
    for (std::uint32_t size : sizes) EXPECT_EQ(size % 4, 0u);
    const Tone tone = measureTone({delivery.samples.begin(), delivery.samples.end()}, 48000);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, c.mono, 0.02);
  }
}

TEST_F(PulseHalTest, TeardownEndsDeliveryAndLeavesNoStreamBehind) {
  const int before = sourceOutputs();
  Delivery delivery;
  Graph graph;
  graph.build(delivery);
  ASSERT_EQ(graph.hal->deviceStart(graph.aggregate, graph.proc), 0);
  ASSERT_TRUE(play(server_->sink, {{0.2, 440, 0.3, 0.3}}));
  EXPECT_GT(delivery.calls.load(), 0);
  EXPECT_EQ(sourceOutputs(), before + 1);
  graph.teardown();
  const int after = delivery.calls.load();
  ASSERT_TRUE(play(server_->sink, {{0.2, 440, 0.3, 0.3}}));
  EXPECT_EQ(delivery.calls.load(), after);
  EXPECT_EQ(settledSourceOutputs(before), before);
}

TEST_F(PulseHalTest, ReportsTheLossOfTheServerOnce) {
  char dir[] = "/tmp/audiotap-lost-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  auto env = startServer(dir);
  ASSERT_FALSE(env.empty());
  ScopedEnv scoped(env);

  Delivery delivery;
  std::mutex mutex;
  std::condition_variable reported;
  std::vector<std::string> messages;
  Graph graph;
  graph.build(delivery, [&](const std::string& message) {
    std::lock_guard lock(mutex);
    messages.push_back(message);
    reported.notify_all();
  });
  ASSERT_EQ(graph.hal->deviceStart(graph.aggregate, graph.proc), 0);
  stopServer(dir);
  {
    std::unique_lock lock(mutex);
    reported.wait_for(lock, 10s, [&] { return !messages.empty(); });
  }
  EXPECT_TRUE(graph.queue->drain(5s));
  graph.teardown();
  removeServer(dir);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("sound server"), std::string::npos) << messages[0];
}

}  // namespace
}  // namespace audiotap::testing
