#include <chrono>
#include <cstdlib>

#include "driver/follow.h"
#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {
// Long enough for any IO block that is converting; short enough that a host
// which stopped reading standard output cannot hang the stop.
constexpr std::chrono::milliseconds kIoDrainLimit{1000};

std::chrono::steady_clock::time_point stopDeadline() { return std::chrono::steady_clock::now() + kIoDrainLimit; }
}  // namespace

void failStartup(const capture::Failure& failure) {
  State& s = state();
  capture::tearDown(s.platform->hal(), s.graph, s.ioQueue.get(), stopDeadline());
  events::fail(failure.message, failure.status);
}

void stopCapture() {
  State& s = state();
  if (!s.capturing || s.stopped) return;
  s.stopped = true;
  stopFollowing();
  // No IO block may still be writing when "stopped" counts the frames, or
  // PCM could follow "stopped" and the count would not match the bytes.
  capture::tearDown(s.platform->hal(), s.graph, s.ioQueue.get(), stopDeadline());
  events::emit("stopped", {{"frames", s.meter->frames.load()}});
  s.stdoutHandle->synchronize();
}

void endCapture(int status) {
  stopCapture();
  std::exit(status);
}

void endWithError(const std::string& message) {
  events::emit("error", {{"message", message}});
  endCapture(1);
}

}  // namespace audiotap::driver
