// The PulseAudio Hal against a real server: what the core relies on, call by
// call, without the rest of the process.
#include "platform/linux/pulse_hal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "pulse_support.h"

namespace audiotap::testing {
namespace {

using namespace std::chrono_literals;
using platform::AudioObjectID;
using platform::Dictionary;
using platform::PropertyAddress;
using platform::StreamDescription;

// A serial queue on one thread, as the core's IO queue is.
class ThreadQueue final : public platform::Queue {
 public:
  ThreadQueue() : thread_([this] { serve(); }) {}
  ~ThreadQueue() override {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void async(std::function<void()> task) override {
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }
  bool drain(std::chrono::milliseconds limit) override {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return tasks_.empty() && !busy_; });
  }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      busy_ = true;
      lock.unlock();
      task();
      lock.lock();
      busy_ = false;
      idle_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  bool busy_ = false, closing_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

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
  ThreadQueue queue;
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
    delivery.queueThread = queue.id();
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
    ASSERT_EQ(hal->createIOProcIDWithBlock(&proc, aggregate, queue, block), 0);
    hal->setDeviceLostHandler(std::move(lost));
  }
  void teardown() {
    hal->deviceStop(aggregate, proc);
    hal->destroyIOProcID(aggregate, proc);
    EXPECT_TRUE(queue.drain(5s));
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

TEST_F(PulseHalTest, DescribesTheDefaultSinkAndItsMonitor) {
  Delivery delivery;
  Graph graph;
  graph.build(delivery);
  EXPECT_EQ(graph.uid, server_->sink);
  EXPECT_NE(graph.device, 0u);
  EXPECT_EQ(graph.format.mSampleRate, 48000.0);
  EXPECT_EQ(graph.format.mFormatID, platform::kAudioFormatLinearPCM);
  EXPECT_EQ(graph.format.mFormatFlags & platform::kAudioFormatFlagIsFloat, platform::kAudioFormatFlagIsFloat);
  EXPECT_EQ(graph.format.mChannelsPerFrame, 1u);
  EXPECT_EQ(graph.format.mBytesPerFrame, 4u);
  EXPECT_EQ(graph.format.mBitsPerChannel, 32u);
  std::uint32_t size = sizeof graph.format;
  EXPECT_NE(graph.hal->getPropertyData(graph.aggregate, kTapFormat, &size, &graph.format), 0);
  graph.hal->destroyAggregateDevice(graph.aggregate);
  graph.hal->destroyProcessTap(graph.tap);
}

TEST_F(PulseHalTest, RefusesWhatItCannotProvide) {
  struct Case {
    const char* name;
    bool wrongMain, wrongTap, muted;
  } cases[] = {
      {"aggregate on another main device", true, false, false},
      {"aggregate naming another tap", false, true, false},
      {"muting tap", false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Graph graph;
    ASSERT_EQ(graph.readDevice(), 0);
    auto description = graph.hal->makeMonoGlobalTapButExcludeProcesses({});
    description->setUUID(graph.tapUUID);
    description->setMuteBehavior(c.muted ? 1 : 0);
    const platform::OSStatus tapStatus = graph.hal->createProcessTap(*description, &graph.tap);
    if (c.muted) {
      EXPECT_NE(tapStatus, 0);
      continue;
    }
    ASSERT_EQ(tapStatus, 0);
    const auto aggregate =
        graph.description(c.wrongMain ? "elsewhere" : graph.uid,
                          c.wrongTap ? "00000000-0000-4000-8000-000000000000" : graph.tapUUID);
    EXPECT_NE(graph.hal->createAggregateDevice(aggregate, &graph.aggregate), 0);
    EXPECT_EQ(graph.aggregate, 0u);
    graph.hal->destroyProcessTap(graph.tap);
  }
}

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
  EXPECT_TRUE(graph.queue.drain(5s));
  graph.teardown();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("sound server"), std::string::npos) << messages[0];
}

TEST(PulseHalNoServerTest, FindsNoDeviceWithoutAServer) {
  ScopedEnv scoped(std::map<std::string, std::string>{{"PULSE_SERVER", "unix:/nonexistent/audiotap/native"}});
  auto hal = platform::pulse::makePulseHal();
  AudioObjectID device = 0;
  std::uint32_t size = sizeof device;
  EXPECT_NE(hal->getPropertyData(1, kDefaultOutput, &size, &device), 0);
  EXPECT_EQ(device, 0u);
  auto description = hal->makeMonoGlobalTapButExcludeProcesses({});
  AudioObjectID tap = 0;
  EXPECT_NE(hal->createProcessTap(*description, &tap), 0);
  EXPECT_EQ(tap, 0u);
}

}  // namespace
}  // namespace audiotap::testing
