#include "capture/aggregate_device.h"

#include "events/channel.h"

namespace audiotap::capture {

platform::Dictionary aggregateDescriptionFor(const std::string& aggregateUID, const std::string& outputDeviceUID,
                                             const std::string& tapUUID) {
  platform::Dictionary subTap{{platform::kSubTapUIDKey, tapUUID}, {platform::kSubTapDriftCompensationKey, true}};
  return {
      {platform::kAggregateNameKey, "Orvane Tap"},
      {platform::kAggregateUIDKey, aggregateUID},
      {platform::kAggregateMainSubDeviceKey, outputDeviceUID},
      {platform::kAggregateIsPrivateKey, true},
      {platform::kAggregateIsStackedKey, false},
      {platform::kAggregateTapAutoStartKey, false},
      {platform::kAggregateSubDeviceListKey, platform::Array{}},
      {platform::kAggregateTapListKey, platform::Array{platform::Value(std::move(subTap))}},
  };
}

void createAggregateDevice(platform::Hal& hal, const platform::Dictionary& description,
                           platform::AudioObjectID tapID, platform::AudioObjectID& aggregateID,
                           platform::OSStatus& aggregateStatus) {
  aggregateID = 0;
  aggregateStatus = hal.createAggregateDevice(description, &aggregateID);
  if (aggregateStatus != 0 || aggregateID == 0) {
    hal.destroyProcessTap(tapID);
    events::fail(kAggregateFailed, aggregateStatus);
  }
}

}  // namespace audiotap::capture
