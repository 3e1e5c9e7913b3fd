#include "capture/formats.h"

#include <cmath>
#include <cstdint>

namespace audiotap::capture {

bool convertibleRates(double tapRate, double targetRate) {
  return std::isfinite(tapRate) && tapRate > 0 && std::isfinite(targetRate) && targetRate > 0 &&
         targetRate / tapRate <= 65536.0;
}

Result buildFormats(platform::Media& media, const platform::StreamDescription& sourceFormat, double targetRate,
                    Formats& formats) {
  formats = Formats{};
  TapConversion& conversion = formats.conversion;
  conversion.tapStreamFormat = sourceFormat;
  const Failure unbuildable{kConverterUnbuildable, std::nullopt};
  // Checked here rather than left to the platform: a rate that passes would
  // otherwise reach the IO block, which could not size its output.
  if (!convertibleRates(conversion.tapStreamFormat.mSampleRate, targetRate)) return unbuildable;
  conversion.tapFormat = media.formatWithStreamDescription(&conversion.tapStreamFormat);
  if (conversion.tapFormat) {
    formats.outputFormat = media.formatWithCommonFormat(platform::CommonFormat::Int16, targetRate, 1, true);
  }
  if (formats.outputFormat) conversion.converter = media.makeConverter(*conversion.tapFormat, *formats.outputFormat);
  if (!conversion.converter) {
    formats = Formats{};
    return unbuildable;
  }
  return std::nullopt;
}

Result buildConversion(platform::Media& media, const platform::StreamDescription& tapStreamFormat,
                       const platform::AudioFormat& outputFormat, double targetRate, TapConversion& conversion) {
  conversion = TapConversion{};
  conversion.tapStreamFormat = tapStreamFormat;
  if (convertibleRates(tapStreamFormat.mSampleRate, targetRate)) {
    conversion.tapFormat = media.formatWithStreamDescription(&conversion.tapStreamFormat);
  }
  if (conversion.tapFormat) conversion.converter = media.makeConverter(*conversion.tapFormat, outputFormat);
  if (!conversion.converter) {
    conversion = TapConversion{};
    return Failure{kConverterUnbuildable, std::nullopt};
  }
  return std::nullopt;
}

}  // namespace audiotap::capture
