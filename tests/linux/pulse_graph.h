// The tap and aggregate device that the capture builds on a sink, made by
// hand for the tests that drive the PulseAudio Hal directly.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/hal.h"

namespace audiotap::test {

inline void makeTapAndAggregate(platform::Hal& hal, const std::string& sink, const std::string& tapUUID,
                                platform::AudioObjectID* tap, platform::AudioObjectID* aggregate) {
  using namespace platform;
  auto description = hal.makeMonoGlobalTapButExcludeProcesses({});
  description->setUUID(tapUUID);
  ASSERT_EQ(hal.createProcessTap(*description, tap), 0);
  const Dictionary taps{{kSubTapUIDKey, tapUUID}, {kSubTapDriftCompensationKey, true}};
  ASSERT_EQ(hal.createAggregateDevice({{kAggregateMainSubDeviceKey, sink}, {kAggregateTapListKey, Array{taps}}},
                                      aggregate),
            0);
}

}  // namespace audiotap::test
