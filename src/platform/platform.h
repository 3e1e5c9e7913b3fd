// The one platform this binary was built with. The build links exactly one
// backend (macOS, Linux or the simulator); nothing chooses at run time.
#pragma once

#include <memory>
#include <string>

#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/hal.h"
#include "platform/media.h"
#include "platform/output.h"

namespace audiotap::platform {

class Platform {
 public:
  virtual ~Platform() = default;
  // Core Audio's HAL, on the platforms whose capture is built on it (macOS,
  // and the simulator that stands in for it); null elsewhere.
  virtual Hal* coreAudioHal() { return nullptr; }
  // The capture in the backend's own terms; null where the core builds it on
  // coreAudioHal().
  virtual std::unique_ptr<CaptureSource> makeCaptureSource() { return nullptr; }
  virtual Media& media() = 0;
  virtual Dispatch& dispatch() = 0;
  virtual OutputHandle& standardError() = 0;
  virtual OutputHandle& standardOutput() = 0;
  // A fresh random UUID in the canonical upper-case 36-character form.
  virtual std::string randomUUIDString() = 0;
};

// Made on first call, before anything else of the platform is used; lives
// until the process exits. Descriptors 0, 1 and 2 are open once it returns
// (on /dev/null where the process was started without them), so that no
// descriptor the process opens later can land on them.
Platform& currentPlatform();

}  // namespace audiotap::platform
