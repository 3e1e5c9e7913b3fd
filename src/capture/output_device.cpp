#include "capture/output_device.h"

#include <cstdint>

namespace audiotap::capture {

using platform::AudioObjectID;
using platform::globalAddress;

std::optional<std::string> deviceUID(platform::Hal& hal, AudioObjectID device) {
  platform::StringRef reference = nullptr;
  std::uint32_t size = sizeof reference;
  const platform::OSStatus status =
      hal.getPropertyData(device, globalAddress(platform::kAudioDevicePropertyDeviceUID), &size, &reference);
  if (reference == nullptr) return std::nullopt;
  std::optional<std::string> uid;
  if (status == 0) uid = hal.copyString(reference);
  hal.releaseString(reference);
  return uid;
}

Result findDefaultOutputDevice(platform::Hal& hal, Graph& graph) {
  AudioObjectID device = 0;
  std::uint32_t size = sizeof device;
  const platform::OSStatus status = hal.getPropertyData(
      platform::kAudioObjectSystemObject, globalAddress(platform::kAudioHardwarePropertyDefaultOutputDevice), &size,
      &device);
  graph.outputDevice = status == 0 ? device : 0;
  if (graph.outputDevice != 0) {
    if (auto uid = deviceUID(hal, graph.outputDevice)) {
      graph.outputDeviceUID = std::move(*uid);
      return std::nullopt;
    }
  }
  return Failure{kNoDefaultOutputDevice, std::nullopt};
}

Result createProcessTap(platform::Hal& hal, const std::string& uuid, Graph& graph) {
  if (graph.describeTap) {
    if (Result failed = graph.describeTap(hal, graph.tapDescription)) return failed;
  } else {
    graph.tapDescription = hal.makeMonoGlobalTapButExcludeProcesses({});
  }
  if (!graph.tapDescription) return Failure{kTapFailed, 0};
  graph.tapDescription->setName(kTapName);
  graph.tapDescription->setUUID(uuid);
  graph.tapDescription->setPrivate(true);
  graph.tapDescription->setMuteBehavior(0);
  AudioObjectID tap = 0;
  const platform::OSStatus status = hal.createProcessTap(*graph.tapDescription, &tap);
  if (status != 0 || tap == 0) return Failure{kTapFailed, status};
  graph.tapID = tap;
  return std::nullopt;
}

Result readTapFormat(platform::Hal& hal, platform::AudioObjectID tapID, platform::StreamDescription& format) {
  std::uint32_t size = sizeof format;
  const auto address = globalAddress(platform::kAudioTapPropertyFormat);
  if (hal.getPropertyData(tapID, address, &size, &format) != 0) return Failure{kFormatUnreadable, std::nullopt};
  return std::nullopt;
}

}  // namespace audiotap::capture
