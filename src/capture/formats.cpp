#include "capture/formats.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "events/channel.h"

namespace audiotap::capture {

bool convertibleRates(double tapRate, double targetRate) {
  return std::isfinite(tapRate) && tapRate > 0 && std::isfinite(targetRate) && targetRate > 0 &&
         targetRate / tapRate <= 65536.0;
}

Formats buildFormats(platform::Hal& hal, platform::Media& media, platform::AudioObjectID tapID,
                     platform::AudioObjectID aggregateID, double targetRate) {
  const auto tearDownAndExit = [&](const char* message) {
    hal.destroyAggregateDevice(aggregateID);
    hal.destroyProcessTap(tapID);
    events::emit("error", {{"message", message}});
    std::exit(1);
  };

  Formats formats{};
  std::uint32_t size = sizeof formats.tapStreamFormat;
  const platform::PropertyAddress address{platform::kAudioTapPropertyFormat, platform::kAudioObjectPropertyScopeGlobal,
                                          platform::kAudioObjectPropertyElementMain};
  if (hal.getPropertyData(tapID, address, &size, &formats.tapStreamFormat) != 0) tearDownAndExit(kFormatUnreadable);

  // Checked here rather than left to the platform: a rate that passes would
  // otherwise reach the IO block, which could not size its output.
  if (!convertibleRates(formats.tapStreamFormat.mSampleRate, targetRate)) tearDownAndExit(kConverterUnbuildable);
  formats.tapFormat = media.formatWithStreamDescription(&formats.tapStreamFormat);
  if (formats.tapFormat) {
    formats.outputFormat = media.formatWithCommonFormat(platform::CommonFormat::Int16, targetRate, 1, true);
  }
  if (formats.outputFormat) formats.converter = media.makeConverter(*formats.tapFormat, *formats.outputFormat);
  if (!formats.converter) {
    formats = Formats{};
    tearDownAndExit(kConverterUnbuildable);
  }
  return formats;
}

}  // namespace audiotap::capture
