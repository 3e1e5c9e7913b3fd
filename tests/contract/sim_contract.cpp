// Core Audio's source on the simulated HAL, which plays its tone whatever the
// test does. The aggregate device carries a microphone-like stream before the
// tap's, which the source must not hand on, and with the microphone asked for
// the default input device's stream, which it hands on beside the tap's.
#include <cstdlib>

#include "capture/core_audio_source.h"
#include "platform/platform.h"
#include "source_contract.h"

namespace audiotap::contract {

Target contractTarget() {
  // putenv (setenv is POSIX only) keeps the string itself, so it lives as
  // long as the process.
  static char script[] = "AUDIOTAP_SIM=tone=997;amp=0.5;streams=2";
  ::putenv(script);
  platform::Platform& platform = platform::currentPlatform();
  return {[&platform] { return capture::makeSource(platform); }, nullptr, nullptr, ""};
}

}  // namespace audiotap::contract
