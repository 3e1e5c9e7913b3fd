// The Linux platform: POSIX dispatch and descriptors, the software converter,
// and the PulseAudio Hal.
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/linux/hal.h"
#include "platform/platform.h"
#include "platform/posix/fd_output.h"
#include "platform/posix/posix_dispatch.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"
#include "platform/soft/media.h"

namespace audiotap::platform {
namespace {

class LinuxPlatform final : public Platform {
 public:
  LinuxPlatform()
      : dispatch_(posix::makePosixDispatch()),
        stdout_(posix::makeFdOutputHandle(STDOUT_FILENO)),
        stderr_(posix::makeFdOutputHandle(STDERR_FILENO)),
        media_(soft::makeSoftMedia()),
        hal_(linux::makePulseHal()) {}

  Hal* coreAudioHal() override { return hal_.get(); }
  Media& media() override { return *media_; }
  Dispatch& dispatch() override { return *dispatch_; }
  OutputHandle& standardError() override { return *stderr_; }
  OutputHandle& standardOutput() override { return *stdout_; }
  std::string randomUUIDString() override { return posix::randomUUIDString(); }

 private:
  std::unique_ptr<Dispatch> dispatch_;
  std::unique_ptr<OutputHandle> stdout_;
  std::unique_ptr<OutputHandle> stderr_;
  std::unique_ptr<Media> media_;
  std::unique_ptr<Hal> hal_;
};

LinuxPlatform* makePlatform() {
  posix::ensureStandardDescriptors();
  // One arena: the IO thread would otherwise get its own heap, resident for
  // the few allocations it makes.
  mallopt(M_ARENA_MAX, 1);
  // libpulse prints its diagnostics on standard error, which must carry
  // nothing but event lines; its failures reach the host as events instead.
  setenv("PULSE_LOG", "0", 1);
  setenv("PULSE_LOG_SYSLOG", "1", 1);
  return new LinuxPlatform();
}

}  // namespace

Platform& currentPlatform() {
  // Never destroyed: the IO queue may still be delivering while the process exits.
  static LinuxPlatform* const platform = makePlatform();
  return *platform;
}

}  // namespace audiotap::platform
