#include "platform/windows/wasapi/wasapi_source.h"

namespace audiotap::platform::windows {
namespace {

class WasapiSource final : public CaptureSource {
 public:
  SourceResult open(const CaptureRequest&, SourceReporter) override {
    return SourceFailure{"the WASAPI capture is not available in this build", std::nullopt};
  }
  std::string deviceUID() const override { return {}; }
  StreamDescription format() const override { return {}; }
  SourceResult attach(Queue&, Delivery) override { return SourceFailure{"not open", std::nullopt}; }
  SourceResult start() override { return SourceFailure{"not open", std::nullopt}; }
  void close(std::chrono::steady_clock::time_point) override {}
  std::optional<std::string> defaultOutputUID() override { return std::nullopt; }
};

}  // namespace

std::unique_ptr<CaptureSource> makeWasapiSource(Dispatch&, ProcessTable&) {
  return std::make_unique<WasapiSource>();
}

}  // namespace audiotap::platform::windows
