// The tap's stream format, the output format and the converter between them.
#pragma once

#include <memory>

#include "platform/hal.h"
#include "platform/media.h"

namespace audiotap::capture {

inline constexpr const char* kFormatUnreadable = "could not read the tap's stream format";
inline constexpr const char* kConverterUnbuildable =
    "could not build a converter from the tap format to 16 kHz mono PCM16";

struct Formats {
  platform::StreamDescription tapStreamFormat;
  std::unique_ptr<platform::AudioFormat> tapFormat;
  std::unique_ptr<platform::AudioFormat> outputFormat;
  std::unique_ptr<platform::Converter> converter;
};

// Whether audio at `tapRate` can be converted to `targetRate` with every
// call's output sized soundly: both finite and positive, and no more than
// 65536 output frames per input frame, so a call of up to 65536 frames always
// fits a 32-bit frame count.
bool convertibleRates(double tapRate, double targetRate);

// On failure tears down the aggregate device, then the tap, emits the
// matching "error" and exits with status 1.
Formats buildFormats(platform::Hal& hal, platform::Media& media, platform::AudioObjectID tapID,
                     platform::AudioObjectID aggregateID, double targetRate);

}  // namespace audiotap::capture
