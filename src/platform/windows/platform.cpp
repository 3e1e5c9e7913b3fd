// The Windows platform: Win32 dispatch and handles, the software converter,
// and the WASAPI capture.
#include <windows.h>

#include "platform/platform.h"
#include "platform/soft/media.h"
#include "platform/windows/handle_output.h"
#include "platform/windows/uuid.h"
#include "platform/windows/wasapi/wasapi_source.h"
#include "platform/windows/windows_dispatch.h"

namespace audiotap::platform {
namespace {

class WindowsPlatform final : public Platform {
 public:
  WindowsPlatform()
      : dispatch_(windows::makeWindowsDispatch()),
        stdout_(windows::makeHandleOutput(::GetStdHandle(STD_OUTPUT_HANDLE))),
        stderr_(windows::makeHandleOutput(::GetStdHandle(STD_ERROR_HANDLE))),
        media_(soft::makeSoftMedia()) {}

  std::unique_ptr<CaptureSource> makeCaptureSource() override {
    return windows::makeWasapiSource(*dispatch_, processTable());
  }
  Media& media() override { return *media_; }
  Dispatch& dispatch() override { return *dispatch_; }
  OutputHandle& standardError() override { return *stderr_; }
  OutputHandle& standardOutput() override { return *stdout_; }
  std::string randomUUIDString() override { return windows::randomUUIDString(); }

 private:
  std::unique_ptr<Dispatch> dispatch_;
  std::unique_ptr<OutputHandle> stdout_;
  std::unique_ptr<OutputHandle> stderr_;
  std::unique_ptr<Media> media_;
};

WindowsPlatform* makePlatform() {
  windows::ensureStandardHandles();
  return new WindowsPlatform();
}

}  // namespace

Platform& currentPlatform() {
  // Never destroyed: the IO queue may still be delivering while the process exits.
  static WindowsPlatform* const platform = makePlatform();
  return *platform;
}

}  // namespace audiotap::platform
