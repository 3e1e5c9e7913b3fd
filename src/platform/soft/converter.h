// Converts any layout of the software media to int16 mono at the output rate:
// channels averaged, resampled, then rounded and clipped.
#pragma once

#include <memory>

#include "platform/media.h"
#include "platform/soft/pcm.h"

namespace audiotap::platform::soft {

// The lowest speexdsp quality that keeps aliases 100 dB down with the
// passband flat to 0.5 dB and under 5 ms of delay (see bench/).
inline constexpr int kResamplerQuality = 5;

// Null unless `to` is int16 mono and the resampler can do the rate ratio.
std::unique_ptr<platform::Converter> makeConverter(const Layout& from, const Layout& to,
                                                   int quality = kResamplerQuality);

}  // namespace audiotap::platform::soft
