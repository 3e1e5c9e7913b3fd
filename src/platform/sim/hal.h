// The scripted HAL. Out-parameters and property slots are filled as scripted
// whatever the status, so a caller that checks only the status or only the
// value is caught. Every call is recorded in the trace (see trace.h).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/hal.h"
#include "platform/sim/processes.h"
#include "platform/sim/script.h"
#include "platform/sim/trace.h"
#include "platform/thread_annotations.h"

namespace audiotap::platform::sim {

// What the main thread and the delivering task share: the live state of the
// simulated objects and the registered property listeners.
struct World {
  struct Registration {
    AudioObjectID object;
    std::uint32_t selector;
    platform::Queue* queue;
    platform::PropertyListener listener;
    bool dropped = false;  // by a restart of the audio system: never fires again
  };
  Mutex mutex;
  std::map<platform::ListenerID, Registration> listeners GUARDED_BY(mutex);
  platform::ListenerID nextListener GUARDED_BY(mutex) = 1;
  std::atomic<bool> deviceAlive{true};
  std::atomic<bool> aggregateAlive{true};
  std::atomic<bool> reformatted{false};
  std::atomic<bool> reformatRead{false};
  std::atomic<bool> restarted{false};
  std::atomic<bool> stalled{false};
  // The default output device, as an index into the scripted devices, and
  // the devices that died with a switch away from them (bit per index).
  std::atomic<std::size_t> defaultDevice{0};
  std::atomic<std::uint64_t> deadDevices{0};
  // The input device the aggregate device lists among its sub-devices (0:
  // none), whether the first one lives, and whether the second one
  // (mic.switch) has become the default.
  std::atomic<AudioObjectID> microphoneJoined{0};
  std::atomic<bool> microphoneAlive{true};
  std::atomic<bool> inputSwitched{false};
};

// Traces the change, then runs each listener registered for it (and not
// dropped) on its queue, unless it has been removed by then; each run is
// traced as Notified.
void propertyChanged(const std::shared_ptr<World>& world, const Trace& trace, AudioObjectID object,
                     std::uint32_t selector);

// The audio system restarts: 'srst' fires, then every listener on the system
// object is dropped.
void serviceRestarted(const std::shared_ptr<World>& world, const Trace& trace);

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

  OSStatus getPropertyDataSize(AudioObjectID object, const platform::PropertyAddress& address,
                               std::uint32_t qualifierSize, const void* qualifier,
                               std::uint32_t* dataSize) override;
  std::unique_ptr<platform::TapDescription> makeMonoMixdownOfProcesses(
      const std::vector<AudioObjectID>& processes) override;
  OSStatus setTapDescription(AudioObjectID tap, platform::TapDescription& description) override;

  platform::ProcessTable& processes() { return processTable_; }

  // Shared with the task that delivers the audio, which may outlive the HAL's
  // interest in it.
  struct Stream {
    Script script;
    const Trace* trace = nullptr;
    platform::IOBlock block;
    std::function<void(const std::string&)> lost;
    std::shared_ptr<World> world;
    std::atomic<bool> stopped{false};
    std::shared_ptr<TapCoverage> coverage;
    ToneFormat format;          // of the device it was made on
    std::uint32_t streams = 1;  // the aggregate device's input streams
    // When that device stops being the default: after how many buffers, and
    // what then happens (on the delivering thread).
    std::optional<std::uint64_t> switchAfter;
    std::function<void(Stream&)> switchAway;
  };

  // The scripted output devices, in the order they become the default.
  struct Device {
    AudioObjectID id;
    std::string uid;
    ToneFormat format;
  };

 private:
  std::string procText(platform::IOProcID procID) const;
  bool isMicrophone(AudioObjectID id) const;
  AudioObjectID defaultMicrophone() const;
  // The aggregate device's input streams: the extra ones, the microphone's
  // while it is there, the tap's.
  std::uint32_t aggregateStreams() const;
  ToneFormat tapFormat() const;
  // The index of the scripted device, if it is one.
  std::optional<std::size_t> deviceIndex(AudioObjectID id) const;
  // The audio clients by PID, this process among them when the script says
  // it runs output.
  std::vector<int> clients() const;
  // On the delivering thread of the device at `index`, once it has delivered
  // what the switch away from it says.
  void switchFrom(std::size_t index, Stream& stream);

  Script script_;
  std::vector<Device> devices_;
  const Trace& trace_;
  SimProcessTable processTable_{script_};
  std::shared_ptr<TapCoverage> coverage_ = std::make_shared<TapCoverage>();
  std::set<const std::string*> liveStrings_;
  std::shared_ptr<World> world_ = std::make_shared<World>();
  std::shared_ptr<Stream> stream_;
  platform::Queue* queue_ = nullptr;
  std::function<void(const std::string&)> lost_;
};

// Delivers the odd lists, then the tone, on the calling thread until the
// script's count is reached, the device is lost or `stream.stopped` is set.
void deliver(SimHal::Stream& stream);

}  // namespace audiotap::platform::sim
