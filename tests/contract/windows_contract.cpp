// The contract against WASAPI loopback on the default render endpoint: under
// wine 10 its PulseAudio null sink, on Windows the machine's own output. The
// tone is played by the suite itself, through the same endpoint.
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "platform/windows/wasapi/wasapi_source.h"
#include "source_contract.h"
#include "windows/wasapi/test_platform.h"
#include "windows/wasapi/tone.h"

namespace audiotap::contract {

Target contractTarget() {
  static testing::NoDispatch dispatch;
  static testing::ThisProcessOnly processes;
  static std::unique_ptr<testing::Tone> tone;
  Target target;
  target.make = [] { return platform::windows::makeWasapiSource(dispatch, processes); };
  target.startSound = [] { tone = std::make_unique<testing::Tone>(997.0, 0.5f); };
  target.stopSound = [] { tone.reset(); };
  return target;
}

}  // namespace audiotap::contract
