#include "capture/aggregate_device.h"

namespace audiotap::capture {

platform::Dictionary aggregateDescriptionFor(const std::string& aggregateUID, const std::string& outputDeviceUID,
                                             const std::string& tapUUID, const std::string& inputDeviceUID) {
  platform::Dictionary subTap{{platform::kSubTapUIDKey, tapUUID}, {platform::kSubTapDriftCompensationKey, true}};
  platform::Array subDevices;
  if (!inputDeviceUID.empty()) {
    // The main sub-device is listed too, so the aggregate's clock is the
    // output's and the microphone the one resampled onto it.
    subDevices.push_back(platform::Dictionary{{platform::kSubDeviceUIDKey, outputDeviceUID}});
    if (inputDeviceUID != outputDeviceUID) {
      subDevices.push_back(platform::Dictionary{{platform::kSubDeviceUIDKey, inputDeviceUID},
                                                {platform::kSubDeviceDriftCompensationKey, true}});
    }
  }
  return {
      {platform::kAggregateNameKey, "Orvane Tap"},
      {platform::kAggregateUIDKey, aggregateUID},
      {platform::kAggregateMainSubDeviceKey, outputDeviceUID},
      {platform::kAggregateIsPrivateKey, true},
      {platform::kAggregateIsStackedKey, false},
      {platform::kAggregateTapAutoStartKey, false},
      {platform::kAggregateSubDeviceListKey, std::move(subDevices)},
      {platform::kAggregateTapListKey, platform::Array{platform::Value(std::move(subTap))}},
  };
}

Result createAggregateDevice(platform::Hal& hal, const std::string& aggregateUID, Graph& graph) {
  const platform::Dictionary description = aggregateDescriptionFor(
      aggregateUID, graph.outputDeviceUID, graph.tapDescription->uuidString(), graph.inputDeviceUID);
  platform::AudioObjectID device = 0;
  const platform::OSStatus status = hal.createAggregateDevice(description, &device);
  if (status != 0 || device == 0) return Failure{kAggregateFailed, status};
  graph.aggregateID = device;
  return std::nullopt;
}

std::uint32_t findTapStream(platform::Hal& hal, platform::AudioObjectID aggregateID) {
  const platform::PropertyAddress address{platform::kAudioDevicePropertyStreams,
                                          platform::kAudioObjectPropertyScopeInput,
                                          platform::kAudioObjectPropertyElementMain};
  std::uint32_t size = 0;
  if (hal.getPropertyDataSize(aggregateID, address, 0, nullptr, &size) != 0) return 0;
  const std::uint32_t streams = size / sizeof(platform::AudioObjectID);
  return streams > 0 ? streams - 1 : 0;
}

}  // namespace audiotap::capture
