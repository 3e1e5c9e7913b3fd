#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "capture/aggregate_device.h"
#include "capture/formats.h"
#include "capture/output_device.h"
#include "events/json.h"

namespace audiotap::capture {
namespace {

using platform::AudioObjectID;
using platform::OSStatus;

// Answers the 'uid ' read as scripted and counts releases per reference.
class UidHal : public platform::Hal {
 public:
  OSStatus status = 0;
  bool leavesReference = true;
  std::optional<std::string> characters = "Speakers";
  int releases = 0;
  int copies = 0;
  const char token = 0;

  OSStatus getPropertyData(AudioObjectID, const platform::PropertyAddress& address, std::uint32_t* size,
                           void* data) override {
    EXPECT_EQ(address.mSelector, platform::kAudioDevicePropertyDeviceUID);
    EXPECT_EQ(address.mScope, platform::kAudioObjectPropertyScopeGlobal);
    EXPECT_EQ(address.mElement, 0u);
    EXPECT_EQ(*size, sizeof(platform::StringRef));
    EXPECT_EQ(*static_cast<platform::StringRef*>(data), nullptr) << "slot preset to null";
    if (leavesReference) *static_cast<platform::StringRef*>(data) = &token;
    return status;
  }
  std::optional<std::string> copyString(platform::StringRef reference) override {
    EXPECT_EQ(reference, &token);
    ++copies;
    return characters;
  }
  void releaseString(platform::StringRef reference) override {
    EXPECT_EQ(reference, &token);
    ++releases;
  }
  std::unique_ptr<platform::TapDescription> makeMonoGlobalTapButExcludeProcesses(
      const std::vector<AudioObjectID>&) override {
    return nullptr;
  }
  OSStatus createProcessTap(platform::TapDescription&, AudioObjectID*) override { return 0; }
  OSStatus destroyProcessTap(AudioObjectID) override { return 0; }
  OSStatus createAggregateDevice(const platform::Dictionary&, AudioObjectID*) override { return 0; }
  OSStatus destroyAggregateDevice(AudioObjectID) override { return 0; }
  OSStatus createIOProcIDWithBlock(platform::IOProcID*, AudioObjectID, platform::Queue&, platform::IOBlock) override {
    return 0;
  }
  OSStatus deviceStart(AudioObjectID, platform::IOProcID) override { return 0; }
  OSStatus deviceStop(AudioObjectID, platform::IOProcID) override { return 0; }
  OSStatus destroyIOProcID(AudioObjectID, platform::IOProcID) override { return 0; }
  void setDeviceLostHandler(std::function<void(const std::string&)>) override {}
};

TEST(DeviceUID, ReleasesTheReferenceExactlyOnceOnEveryPath) {
  const struct {
    const char* what;
    OSStatus status;
    bool leavesReference;
    std::optional<std::string> characters;
    std::optional<std::string> uid;
    int releases;
  } cases[] = {
      {"read", 0, true, "Speakers", "Speakers", 1},
      {"failed read leaving a reference", -50, true, "Speakers", std::nullopt, 1},
      {"failed read, no reference", -50, false, "Speakers", std::nullopt, 0},
      {"success without a reference", 0, false, "Speakers", std::nullopt, 0},
      {"unreadable characters", 0, true, std::nullopt, std::nullopt, 1},
  };
  for (const auto& c : cases) {
    UidHal hal;
    hal.status = c.status;
    hal.leavesReference = c.leavesReference;
    hal.characters = c.characters;
    EXPECT_EQ(deviceUID(hal, 73), c.uid) << c.what;
    EXPECT_EQ(hal.releases, c.releases) << c.what;
    EXPECT_LE(hal.copies, 1) << c.what;
  }
}

TEST(AggregateDescription, HasTheEightEntriesAndOneSubTap) {
  const auto description = aggregateDescriptionFor("AGG-UID", "Speakers", "TAP-UUID");
  const auto j = nlohmann::json::parse(events::toJson(platform::Value(description)));
  EXPECT_EQ(j, nlohmann::json::parse(R"({"name":"Orvane Tap","uid":"AGG-UID","master":"Speakers","private":true,
      "stacked":false,"tapautostart":false,"subdevices":[],"taps":[{"uid":"TAP-UUID","drift":true}]})"));
  EXPECT_EQ(description.size(), 8u);
}

TEST(ConvertibleRates, RefusesWhatCannotBeConvertedSoundly) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double tap, target;
    bool ok;
  } cases[] = {
      {48000, 16000, true},     {44100, 8000, true},      {48000, 44100.5, true}, {8000, 192000, true},
      {48000, 0, false},        {48000, -16000, false},   {48000, std::nan(""), false},
      {48000, inf, false},      {0, 16000, false},        {std::nan(""), 16000, false},
      {1, 65536, true},         {1, 65537, false},        {48000, 1e300, false},
  };
  for (const auto& c : cases) EXPECT_EQ(convertibleRates(c.tap, c.target), c.ok) << c.tap << " " << c.target;
}

}  // namespace
}  // namespace audiotap::capture
