#include <chrono>

#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {
// Long enough for any IO block that is converting; short enough that a host
// which stopped reading standard output cannot hang the stop.
constexpr std::chrono::milliseconds kIoDrainLimit{1000};
}  // namespace

void cleanup() {
  State& s = state();
  if (s.cleanedUp) return;
  s.cleanedUp = true;
  platform::Hal& hal = s.platform->hal();
  hal.deviceStop(s.aggregateID, s.procID);
  hal.destroyIOProcID(s.aggregateID, s.procID);
  // No IO block may still be writing when "stopped" counts the frames, or
  // PCM could follow "stopped" and the count would not match the bytes.
  s.ioQueue->drain(kIoDrainLimit);
  hal.destroyAggregateDevice(s.aggregateID);
  hal.destroyProcessTap(s.tapID);
  events::emit("stopped", {{"frames", s.meter->frames.load()}});
  s.stdoutHandle->synchronize();
}

}  // namespace audiotap::driver
