#include "platform/posix/stop_sources.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace audiotap::platform::posix {

std::vector<std::unique_ptr<Source>> makeStopSources(Dispatch& dispatch, std::function<void()> handler) {
  std::vector<std::unique_ptr<Source>> sources;
  for (const int signo : {SIGINT, SIGTERM, SIGHUP}) {
    dispatch.ignoreSignal(signo);
    sources.push_back(dispatch.makeSignalSource(signo, handler));
  }
  return sources;
}

std::unique_ptr<Source> makeInputEndSource(Dispatch& dispatch, std::function<void()> handler) {
  // The source is made before its handler can run; the handler cancels it
  // through this shared slot.
  auto self = std::make_shared<Source*>(nullptr);
  auto source = dispatch.makeReadSource(STDIN_FILENO, [self, handler = std::move(handler)] {
    char byte;
    const ssize_t result = ::read(STDIN_FILENO, &byte, 1);
    if (result == 0) {
      (*self)->cancel();
      handler();
      return;
    }
    // A descriptor that keeps failing would report itself readable forever;
    // stop watching it rather than spin. Signals and --seconds still stop.
    if (result < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) (*self)->cancel();
  });
  *self = source.get();
  return source;
}

}  // namespace audiotap::platform::posix
