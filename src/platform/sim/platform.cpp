// The simulator's platform. It alone reads the environment: the product
// binary takes its configuration from the command line only.
#include <cstdlib>
#include <string>

#include "events/channel.h"
#include "platform/platform.h"
#include "platform/sim/hal.h"
#include "platform/sim/host.h"
#include "platform/sim/script.h"
#include "platform/sim/media.h"
#include "platform/sim/trace.h"
#include "platform/soft/media.h"

namespace audiotap::platform::sim {
namespace {

// A mistyped script must never pass for a healthy run: refuse it before
// anything has been started, with a line the tests can tell from the core's.
[[noreturn]] void refuse(const std::string& entry) {
  const std::string line = events::eventLine("error", {{"message", "bad AUDIOTAP_SIM: " + entry}});
  host::writeStandardError(line);
  std::_Exit(2);
}

class SimPlatform final : public platform::Platform {
 public:
  explicit SimPlatform(Script script)
      : script_(std::move(script)),
        hal_(script_, trace_),
        dispatch_(host::makeDispatch()),
        stdout_(host::makeStandardOutput()),
        stderr_(host::makeStandardError()) {
    if (!script_.tracePath.empty() && !trace_.open(script_.tracePath)) refuse("trace=" + script_.tracePath);
    media_ = makeSimMedia(soft::makeSoftMedia(), script_, trace_);
  }

  platform::Hal* coreAudioHal() override { return &hal_; }
  platform::Media& media() override { return *media_; }
  platform::Dispatch& dispatch() override { return *dispatch_; }
  platform::OutputHandle& standardError() override { return *stderr_; }
  platform::OutputHandle& standardOutput() override { return *stdout_; }
  std::string randomUUIDString() override { return host::randomUUIDString(); }

 private:
  const Script script_;
  Trace trace_;
  SimHal hal_;
  std::unique_ptr<platform::Media> media_;
  std::unique_ptr<platform::Dispatch> dispatch_;
  std::unique_ptr<platform::OutputHandle> stdout_;
  std::unique_ptr<platform::OutputHandle> stderr_;
};

SimPlatform* makePlatform() {
  host::ensureStandardStreams();
  const char* text = std::getenv("AUDIOTAP_SIM");
  ParseResult parsed = parseScript(text ? text : "");
  if (!parsed.script) refuse(parsed.badEntry);
  return new SimPlatform(std::move(*parsed.script));
}

}  // namespace
}  // namespace audiotap::platform::sim

namespace audiotap::platform {

Platform& currentPlatform() {
  // Never destroyed: the IO queue may still be delivering while the process exits.
  static sim::SimPlatform* const platform = sim::makePlatform();
  return *platform;
}

}  // namespace audiotap::platform
