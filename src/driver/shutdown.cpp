#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "driver/state.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {
// Long enough for any IO block that is converting; short enough that a host
// which stopped reading standard output cannot hang the stop.
constexpr std::chrono::milliseconds kIoDrainLimit{1000};

std::chrono::steady_clock::time_point stopDeadline() { return std::chrono::steady_clock::now() + kIoDrainLimit; }
}  // namespace

void closeSource(State& s) {
  s.deviceStarted = {};
  if (s.source) s.source->close(stopDeadline());
}

void failStartup(const capture::Failure& failure) {
  closeSource(state());
  events::fail(failure.message, failure.status);
}

void stopCapture() {
  State& s = state();
  if (!s.capturing || s.stopped) return;
  s.stopped = true;
  // The IO block's last samples reach the writer before it empties the
  // ring; once closed, the writer writes nothing more, so no PCM follows
  // "stopped" and the count matches the bytes. One deadline bounds it all.
  const auto deadline = stopDeadline();
  s.source->close(deadline);
  const std::int64_t frames = s.writer->finish(*s.writerQueue, deadline);
  events::emit("stopped", {{"frames", frames}});
  s.stdoutHandle->synchronize();
}

void endCapture(int status) {
  stopCapture();
  // Audio that could not be written is a failed capture, whatever stopped it.
  const State& s = state();
  std::exit(s.writer && s.writer->writeFailed() ? 1 : status);
}

void endWithError(const std::string& message) {
  events::emitError(message);
  endCapture(1);
}

}  // namespace audiotap::driver
