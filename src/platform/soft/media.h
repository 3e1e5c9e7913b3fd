// Formats, PCM buffers and a resampling converter in plain software, for the
// backends that have no AVFAudio: Linux and the simulator.
#pragma once

#include <memory>

#include "platform/media.h"

namespace audiotap::platform::soft {

std::unique_ptr<platform::Media> makeSoftMedia();

}  // namespace audiotap::platform::soft
