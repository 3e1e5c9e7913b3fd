#import <Foundation/Foundation.h>

#include "platform/macos/backend.h"
#include "platform/platform.h"
#include "platform/posix/fd_output.h"
#include "platform/posix/standard_descriptors.h"

namespace audiotap::platform {
namespace {

// Descriptors rather than FileHandle: FileHandle's writeData raises an
// Objective-C exception once the reader has closed the pipe.
class MacPlatform final : public Platform {
 public:
  MacPlatform()
      : hal_(macos::makeHal()),
        media_(macos::makeMedia()),
        dispatch_(macos::makeDispatch()),
        standardError_(posix::makeFdOutputHandle(2)),
        standardOutput_(posix::makeFdOutputHandle(1)) {}

  Hal* coreAudioHal() override { return hal_.get(); }
  Media& media() override { return *media_; }
  Dispatch& dispatch() override { return *dispatch_; }
  OutputHandle& standardError() override { return *standardError_; }
  OutputHandle& standardOutput() override { return *standardOutput_; }
  std::string randomUUIDString() override { return macos::toString([NSUUID UUID].UUIDString); }

 private:
  std::unique_ptr<Hal> hal_;
  std::unique_ptr<Media> media_;
  std::unique_ptr<Dispatch> dispatch_;
  std::unique_ptr<OutputHandle> standardError_;
  std::unique_ptr<OutputHandle> standardOutput_;
};

}  // namespace

Platform& currentPlatform() {
  // Never destroyed: exit() runs in a stop handler while the IO queue may
  // still be inside a call that uses it.
  static Platform* const platform = [] {
    posix::ensureStandardDescriptors();
    return new MacPlatform();
  }();
  return *platform;
}

}  // namespace audiotap::platform
