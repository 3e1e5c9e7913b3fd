#include "capture/output_device.h"

#include <cstdint>
#include <cstdlib>

#include "events/channel.h"

namespace audiotap::capture {

using platform::AudioObjectID;
using platform::PropertyAddress;

std::optional<std::string> deviceUID(platform::Hal& hal, AudioObjectID device) {
  platform::StringRef reference = nullptr;
  std::uint32_t size = sizeof reference;
  const PropertyAddress address{platform::kAudioDevicePropertyDeviceUID, platform::kAudioObjectPropertyScopeGlobal,
                                platform::kAudioObjectPropertyElementMain};
  const platform::OSStatus status = hal.getPropertyData(device, address, &size, &reference);
  if (reference == nullptr) return std::nullopt;
  std::optional<std::string> uid;
  if (status == 0) uid = hal.copyString(reference);
  hal.releaseString(reference);
  return uid;
}

std::string findDefaultOutputDevice(platform::Hal& hal, AudioObjectID& outputDevice) {
  AudioObjectID device = 0;
  std::uint32_t size = sizeof device;
  const PropertyAddress address{platform::kAudioHardwarePropertyDefaultOutputDevice,
                                platform::kAudioObjectPropertyScopeGlobal, platform::kAudioObjectPropertyElementMain};
  const platform::OSStatus status = hal.getPropertyData(platform::kAudioObjectSystemObject, address, &size, &device);
  outputDevice = status == 0 ? device : 0;
  if (outputDevice != 0) {
    if (auto uid = deviceUID(hal, outputDevice)) return *uid;
  }
  events::emit("error", {{"message", kNoDefaultOutputDevice}});
  std::exit(1);
}

void createProcessTap(platform::Hal& hal, const std::string& uuid,
                      std::unique_ptr<platform::TapDescription>& tapDescription, AudioObjectID& tapID,
                      platform::OSStatus& tapStatus, std::unique_ptr<platform::TapDescription> preset) {
  tapDescription = preset ? std::move(preset) : hal.makeMonoGlobalTapButExcludeProcesses({});
  if (!tapDescription) events::fail(kTapFailed, 0);
  tapDescription->setName(kTapName);
  tapDescription->setUUID(uuid);
  tapDescription->setPrivate(true);
  tapDescription->setMuteBehavior(0);
  tapID = 0;
  tapStatus = hal.createProcessTap(*tapDescription, &tapID);
  if (tapStatus != 0 || tapID == 0) events::fail(kTapFailed, tapStatus);
}

}  // namespace audiotap::capture
