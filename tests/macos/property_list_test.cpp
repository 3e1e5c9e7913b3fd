#include "platform/macos/property_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/hal.h"

namespace audiotap::platform::macos {
namespace {

// Renders what a property-list API would receive, with each scalar's kind:
// n = int, i = 64-bit integer, d = double, f = float.
struct RenderingBuilder {
  using Object = std::string;
  using List = std::vector<std::string>;
  using Map = std::vector<std::pair<std::string, std::string>>;

  Object number(int value) { return "n:" + std::to_string(value); }
  Object number(std::int64_t value) { return "i:" + std::to_string(value); }
  Object number(double value) { return "d:" + std::to_string(value); }
  Object number(float value) { return "f:" + std::to_string(value); }
  Object string(const std::string& value) { return '"' + value + '"'; }
  List list(std::size_t) { return {}; }
  void append(List& list, Object object) { list.push_back(std::move(object)); }
  Object finish(List list) { return join('[', list, ']'); }
  Map map(std::size_t) { return {}; }
  // Like NSMutableDictionary: setting a key again replaces its value.
  void set(Map& map, std::string_view key, Object object) {
    const auto same =
        std::find_if(map.begin(), map.end(), [&](const auto& entry) { return entry.first == key; });
    if (same != map.end()) same->second = std::move(object);
    if (same == map.end()) map.emplace_back(std::string(key), std::move(object));
  }
  Object finish(Map map) {
    List entries;
    for (const auto& [key, value] : map) entries.push_back(key + "=" + value);
    return join('{', entries, '}');
  }
  static Object join(char open, const List& items, char close) {
    std::string text(1, open);
    for (std::size_t i = 0; i < items.size(); ++i) text += (i ? "," : "") + items[i];
    return text + close;
  }
};

// Platform names that differ from ours, so a missed translation shows.
constexpr KeyName kKeys[] = {
    {kAggregateNameKey, "NAME"},           {kAggregateIsPrivateKey, "PRIVATE"},
    {kAggregateIsStackedKey, "STACKED"},   {kAggregateSubDeviceListKey, "SUBDEVICES"},
    {kAggregateTapListKey, "TAPS"},        {kSubTapUIDKey, "UID"},
    {kSubTapDriftCompensationKey, "DRIFT"}};

TEST(PropertyList, ConvertsValuesAndKeys) {
  const struct {
    const char* name;
    Dictionary input;
    const char* expected;
  } cases[] = {
      // The HAL reads its flags as numbers; a boolean there is not one.
      {"flags become int numbers", {{"private", true}, {"stacked", false}}, "{PRIVATE=n:1,STACKED=n:0}"},
      {"numbers keep their kind",
       {{"a", 1}, {"b", std::int64_t(-5)}, {"c", 0.5}, {"d", 0.25f}},
       "{a=i:1,b=i:-5,c=d:0.500000,d=f:0.250000}"},
      {"empty list is kept", {{"subdevices", Array{}}}, "{SUBDEVICES=[]}"},
      {"unknown key keeps its name", {{"clock", "X"}}, "{clock=\"X\"}"},
      {"later duplicate wins", {{"name", "first"}, {"name", "second"}}, "{NAME=\"second\"}"},
      {"keys inside lists are translated",
       {{"taps", Array{Dictionary{{"uid", "T"}, {"drift", true}}, Array{1, "x"}}}},
       "{TAPS=[{UID=\"T\",DRIFT=n:1},[i:1,\"x\"]]}"},
  };
  for (const auto& c : cases) {
    RenderingBuilder builder;
    EXPECT_EQ(toPropertyList(c.input, builder, kKeys), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace audiotap::platform::macos
