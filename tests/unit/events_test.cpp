#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "events/channel.h"
#include "events/json.h"
#include "fakes.h"

namespace audiotap::events {
namespace {

using nlohmann::json;
using platform::Dictionary;

TEST(FourCC, WorkedExamples) {
  const struct {
    std::uint32_t bits;
    std::string text;
  } cases[] = {
      {0x6E6F7065, "nope"},       {0x216F626A, "!obj"},       {0x77686F3F, "who?"},
      {0x20202020, "    "},       {0x7F414243, "2134983235"}, {0x4142431F, "1094861599"},
      {0xFFFFFFCE, "-50"},        {0x00000000, "0"},          {0x80000000, "-2147483648"},
  };
  for (const auto& c : cases) EXPECT_EQ(fourCC(static_cast<platform::OSStatus>(c.bits)), c.text) << c.text;
}

json parseLine(const std::string& line) {
  EXPECT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only";
  return json::parse(line.substr(0, line.size() - 1));
}

TEST(EventLine, ReadsBackAsTheSameValues) {
  const std::string emDash = "\xE2\x80\x94";
  const Dictionary payload{
      {"message", "quote \" backslash \\ newline \n tab \t bell \x07 dash " + emDash},
      {"frames", std::int64_t(9007199254740993)},
      {"status", std::int64_t(-50)},
      {"peak", 0.999969482421875f},
      {"third", 1.0f / 3.0f},
      {"rate", 44100.0},
      {"nested", Dictionary{{"sampleRate", 48000.0}, {"channels", std::int64_t(2)}}},
      {"flags", platform::Array{true, false}},
  };
  const json j = parseLine(eventLine("ready", payload));
  EXPECT_EQ(j["type"], "ready");
  EXPECT_EQ(j["message"], "quote \" backslash \\ newline \n tab \t bell \x07 dash " + emDash);
  EXPECT_EQ(j["frames"].get<std::int64_t>(), 9007199254740993);
  EXPECT_EQ(j["status"].get<std::int64_t>(), -50);
  EXPECT_EQ(j["peak"].get<float>(), 0.999969482421875f);
  EXPECT_EQ(j["third"].get<float>(), 1.0f / 3.0f);
  EXPECT_EQ(j["rate"].get<double>(), 44100.0);
  EXPECT_EQ(j["nested"]["sampleRate"].get<double>(), 48000.0);
  EXPECT_EQ(j["nested"]["channels"].get<int>(), 2);
  EXPECT_EQ(j["flags"], json::array({true, false}));
  EXPECT_EQ(j.size(), payload.size() + 1);
}

TEST(EventLine, TypeAndPayloadMerge) {
  EXPECT_EQ(eventLine("stopped", {}), "{\"type\":\"stopped\"}\n");
  const json overridden = parseLine(eventLine("level", {{"type", "custom"}, {"frames", 3}}));
  EXPECT_EQ(overridden, json({{"type", "custom"}, {"frames", 3}}));
}

TEST(EventLine, AlwaysValidJson) {
  const double inf = std::numeric_limits<double>::infinity();
  const json numbers = parseLine(eventLine("level", {{"a", std::nan("")}, {"b", inf}, {"c", -inf}, {"d", float(inf)}}));
  for (const char* key : {"a", "b", "c", "d"}) EXPECT_TRUE(numbers[key].is_null()) << key;

  const struct {
    std::string bytes;
    std::string read;
  } strings[] = {
      {"ok \xC3\xA9", "ok \xC3\xA9"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"\xC3", "\xEF\xBF\xBD"},              // truncated sequence
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xF0\x9F\x8E\xA7", "\xF0\x9F\x8E\xA7"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
  };
  for (const auto& s : strings) {
    EXPECT_EQ(parseLine(eventLine("error", {{"message", s.bytes}}))["message"], s.read);
  }
}

TEST(Emit, OneWritePerLineFromManyThreads) {
  testing::RecordingHandle handle;
  setStandardError(&handle);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) emit("level", {{"peak", 0.5f}, {"frames", std::int64_t(t * 1000 + i)}});
    });
  }
  for (auto& thread : threads) thread.join();
  setStandardError(nullptr);
  ASSERT_EQ(handle.writes.size(), 800u);
  for (const auto& write : handle.writes) EXPECT_EQ(parseLine(write)["type"], "level");
}

}  // namespace
}  // namespace audiotap::events
