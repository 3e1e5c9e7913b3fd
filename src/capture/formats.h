// The tap's stream format, the output format and the converter between them.
#pragma once

#include <memory>

#include "capture/source.h"
#include "platform/media.h"
#include "realtime/io_block.h"

namespace audiotap::capture {

inline constexpr const char* kConverterUnbuildable =
    "could not build a converter from the tap format to 16 kHz mono PCM16";

using realtime::TapConversion;

struct Formats {
  TapConversion conversion;
  std::unique_ptr<platform::AudioFormat> outputFormat;
};

// Whether audio at `tapRate` can be converted to `targetRate` with every
// call's output sized soundly: both finite and positive, and no more than
// 65536 output frames per input frame, so a call of up to 65536 frames always
// fits a 32-bit frame count.
bool convertibleRates(double tapRate, double targetRate);

// The output format (16-bit mono at `targetRate`) and the converter from the
// source's format to it.
[[nodiscard]] Result buildFormats(platform::Media& media, const platform::StreamDescription& sourceFormat,
                                  double targetRate, Formats& formats);

// A conversion from a tap format to an output format that already exists.
[[nodiscard]] Result buildConversion(platform::Media& media, const platform::StreamDescription& tapStreamFormat,
                                     const platform::AudioFormat& outputFormat, double targetRate,
                                     TapConversion& conversion);

}  // namespace audiotap::capture
