#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "driver/ready.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {

class FixedSource : public platform::CaptureSource {
 public:
  platform::SourceResult open(const platform::CaptureRequest&, platform::SourceReporter) override { return {}; }
  std::string deviceUID() const override { return "Speakers"; }
  platform::StreamDescription format() const override { return {}; }
  std::string inputDeviceUID() const override { return "Built-in Microphone"; }
  platform::SourceResult attach(platform::Queue&, platform::Delivery) override { return {}; }
  platform::SourceResult start() override { return {}; }
  void close(std::chrono::steady_clock::time_point) override {}
  std::optional<std::string> defaultOutputUID() override { return "Speakers"; }
};

// Without --mic the line is what it has always been; with it, two channels,
// named, and the microphone's device.
TEST(Ready, FieldsWithAndWithoutTheMicrophone) {
  const struct {
    bool microphone;
    std::string line;  // VERSION stands for the binary's version
  } cases[] = {
      {false,
       R"({"type":"ready","tapFormat":{"sampleRate":48000,"channels":2},)"
       R"("outputFormat":{"sampleRate":16000,"channels":1,"bits":16},"outputDeviceUID":"Speakers",)"
       R"("version":"VERSION"})"},
      {true,
       R"({"type":"ready","tapFormat":{"sampleRate":48000,"channels":2},)"
       R"("outputFormat":{"sampleRate":16000,"channels":2,"bits":16},"outputDeviceUID":"Speakers",)"
       R"("version":"VERSION","channels":["system","microphone"],"inputDeviceUID":"Built-in Microphone"})"},
  };
  for (const auto& c : cases) {
    State s;
    s.options.microphone = c.microphone;
    s.targetRate = 16000;
    s.tapStreamFormat.mSampleRate = 48000;
    s.tapStreamFormat.mChannelsPerFrame = 2;
    s.source = std::make_unique<FixedSource>();
    std::string line = events::eventLine("ready", readyFields(s));
    const std::string version = nlohmann::json::parse(line)["version"];
    line.replace(line.find(version), version.size(), "VERSION");
    EXPECT_EQ(line, c.line + "\n") << c.microphone;
  }
}

}  // namespace
}  // namespace audiotap::driver
