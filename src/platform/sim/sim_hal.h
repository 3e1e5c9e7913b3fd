// The scripted HAL. Out-parameters and property slots are filled as scripted
// whatever the status, so a caller that checks only the status or only the
// value is caught. Every call is recorded in the trace (see trace.h).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hal.h"
#include "platform/sim/script.h"
#include "platform/sim/trace.h"

namespace audiotap::sim {

class SimHal final : public platform::Hal {
 public:
  SimHal(const Script& script, const Trace& trace);
  ~SimHal() override;

  OSStatus getPropertyData(AudioObjectID object, const platform::PropertyAddress& address,
                           std::uint32_t* dataSize, void* data) override;
  std::optional<std::string> copyString(platform::StringRef string) override;
  void releaseString(platform::StringRef string) override;

  std::unique_ptr<platform::TapDescription> makeMonoGlobalTapButExcludeProcesses(
      const std::vector<AudioObjectID>& excluded) override;
  OSStatus createProcessTap(platform::TapDescription& description, AudioObjectID* tap) override;
  OSStatus destroyProcessTap(AudioObjectID tap) override;

  OSStatus createAggregateDevice(const platform::Dictionary& description, AudioObjectID* device) override;
  OSStatus destroyAggregateDevice(AudioObjectID device) override;

  OSStatus createIOProcIDWithBlock(platform::IOProcID* procID, AudioObjectID device, platform::Queue& queue,
                                   platform::IOBlock block) override;
  OSStatus deviceStart(AudioObjectID device, platform::IOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, platform::IOProcID procID) override;
  OSStatus destroyIOProcID(AudioObjectID device, platform::IOProcID procID) override;

  OSStatus addPropertyListener(AudioObjectID object, const platform::PropertyAddress& address,
                               platform::Queue& queue, platform::PropertyListener listener,
                               platform::ListenerID* id) override;
  OSStatus removePropertyListener(platform::ListenerID id) override;

  void setDeviceLostHandler(std::function<void(const std::string& message)> handler) override;

  // Shared with the task that delivers the audio, which may outlive the HAL's
  // interest in it.
  struct Stream {
    Script script;
    ToneFormat format;  // of the device it was made on
    const Trace* trace = nullptr;
    platform::IOBlock block;
    std::function<void(const std::string&)> lost;
    std::atomic<bool> stopped{false};
    // When the device it was made on stops being the default: after how many
    // buffers, and what then happens (on the delivering thread).
    std::optional<std::uint64_t> switchAfter;
    std::function<void(Stream&)> switchDevice;
  };

  // The scripted default output devices, in the order they become the default.
  struct Device {
    AudioObjectID id;
    std::string uid;
    ToneFormat format;
  };

 private:
  struct Listener {
    platform::ListenerID id;
    AudioObjectID object;
    std::uint32_t selector;
    platform::Queue* queue;
    platform::PropertyListener run;
    std::atomic<bool> live{true};
  };

  std::string procText(platform::IOProcID procID) const;
  const Device* deviceWithID(AudioObjectID id) const;
  // Any thread: posts each listener of the property to its queue.
  void propertyChanged(AudioObjectID object, std::uint32_t selector);
  // The delivering thread of the device at `index`.
  void switchFrom(std::size_t index, Stream& stream);

  Script script_;
  std::vector<Device> devices_;
  std::atomic<std::size_t> current_{0};
  std::mutex listenersMutex_;
  std::vector<std::shared_ptr<Listener>> listeners_;
  platform::ListenerID nextListener_ = 1;
  const Trace& trace_;
  std::set<const std::string*> liveStrings_;
  std::shared_ptr<Stream> stream_;
  platform::Queue* queue_ = nullptr;
  std::function<void(const std::string&)> lost_;
};

// Delivers the odd lists, then the tone, on the calling thread until the
// script's count is reached, the device is lost or `stream.stopped` is set.
void deliver(SimHal::Stream& stream);

}  // namespace audiotap::sim
