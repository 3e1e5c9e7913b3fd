// Core Audio's capture behind the capture source: the default output device,
// a private process tap and a private aggregate device around it, an IO block
// on that device, and the HAL's listeners, built by the graph steps in their
// one order and torn down by their one teardown. The simulator stands in for
// the HAL step by step, faults included.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/graph.h"
#include "capture/tap_filter.h"
#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/hal.h"

namespace audiotap::capture {

inline constexpr const char* kServiceRestarted =
    "the audio system restarted: the capture's tap and aggregate device are gone";
inline constexpr const char* kAggregateDead = "the capture's aggregate device is no longer alive";
inline constexpr const char* kWatchFailed = "AudioObjectAddPropertyListenerBlock failed";

struct TapSlice;

class CoreAudioSource final : public platform::CaptureSource {
 public:
  // The HAL is read on the main queue only: each listener hands its work
  // there. `makeUUID` names each tap and aggregate device.
  CoreAudioSource(platform::Hal& hal, platform::Dispatch& dispatch, std::function<std::string()> makeUUID);
  ~CoreAudioSource() override;
  CoreAudioSource(const CoreAudioSource&) = delete;
  CoreAudioSource& operator=(const CoreAudioSource&) = delete;

  [[nodiscard]] platform::SourceResult open(const platform::CaptureRequest& request,
                                            platform::SourceReporter reporter) override;
  std::string deviceUID() const override { return graph_.outputDeviceUID; }
  platform::StreamDescription format() const override { return format_; }
  std::string inputDeviceUID() const override { return graph_.inputDeviceUID; }
  platform::StreamDescription microphoneFormat() const override { return microphoneFormat_; }

  [[nodiscard]] platform::SourceResult attach(platform::Queue& ioQueue, platform::Delivery deliver) override;
  [[nodiscard]] platform::SourceResult start() override;
  void close(std::chrono::steady_clock::time_point deadline) override;

  std::optional<std::string> defaultOutputUID() override;
  std::optional<std::string> defaultInputUID() override;
  bool tappedProcessPlays() override;

 private:
  // Whether the build a hopped task belongs to is still the one open. Main
  // thread only.
  std::function<bool()> currentBuild();
  // `task` runs on the main queue after the property changed, while this
  // build is open. The listener belongs to the graph.
  platform::OSStatus listen(platform::AudioObjectID object, std::uint32_t selector,
                            std::function<void()> task,
                            std::uint32_t scope = platform::kAudioObjectPropertyScopeGlobal);
  [[nodiscard]] Result watchSystem();
  void watchGraph();
  void checkAlive(platform::AudioObjectID object, const std::string& message);
  void checkMicrophone();
  void tapFormatChanged();
  void report(platform::SourceReport::Kind kind, const std::string& message = {},
              std::optional<platform::OSStatus> status = std::nullopt);

  platform::Hal& hal_;
  platform::Dispatch& dispatch_;
  const std::function<std::string()> makeUUID_;
  std::unique_ptr<platform::Queue> listenerQueue_;
  Graph graph_;
  platform::StreamDescription format_{};
  platform::StreamDescription microphoneFormat_{};
  bool microphoneLost_ = false;
  // What the IO block hands on; the main thread tells it of a lost
  // microphone and a new tap format.
  std::shared_ptr<TapSlice> slice_;
  platform::CaptureRequest request_;
  platform::SourceReporter reporter_;
  std::shared_ptr<FilterUpdater> filter_;
  platform::Queue* ioQueue_ = nullptr;
  std::uint64_t build_ = 0;
  bool open_ = false;
  // Tasks queued for the main queue hold it weakly: one that runs after the
  // source has gone does nothing.
  const std::shared_ptr<char> life_ = std::make_shared<char>();
};

}  // namespace audiotap::capture
