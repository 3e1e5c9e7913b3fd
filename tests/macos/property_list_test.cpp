#include "platform/macos/property_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/hal.h"

namespace audiotap::platform::macos {
namespace {

// Renders what a property-list API would receive, with each scalar's kind:
// b = boolean, i = 64-bit integer, d = double, f = float.
struct RenderingBuilder {
  using Object = std::string;
  using List = std::vector<std::string>;
  using Map = std::vector<std::pair<std::string, std::string>>;

  Object boolean(bool value) { return value ? "b:true" : "b:false"; }
  Object number(std::int64_t value) { return "i:" + std::to_string(value); }
  Object number(double value) { return "d:" + std::to_string(value); }
  Object number(float value) { return "f:" + std::to_string(value); }
  Object string(const std::string& value) { return '"' + value + '"'; }
  List list(std::size_t) { return {}; }
  void append(List& list, Object object) { list.push_back(std::move(object)); }
  Object finish(List list) {
    std::string text = "[";
    for (std::size_t i = 0; i < list.size(); ++i) text += (i ? "," : "") + list[i];
    return text + "]";
  }
  Map map(std::size_t) { return {}; }
  // Like NSMutableDictionary: setting a key again replaces its value.
  void set(Map& map, std::string_view key, Object object) {
    for (auto& entry : map) {
      if (entry.first == key) {
        entry.second = std::move(object);
        return;
      }
    }
    map.emplace_back(std::string(key), std::move(object));
  }
  Object finish(Map map) {
    std::string text = "{";
    for (std::size_t i = 0; i < map.size(); ++i) text += (i ? "," : "") + map[i].first + "=" + map[i].second;
    return text + "}";
  }
};

// Platform names that differ from ours, so a missed translation shows.
constexpr KeyName kKeys[] = {
    {kAggregateNameKey, "NAME"},
    {kAggregateUIDKey, "UID"},
    {kAggregateMainSubDeviceKey, "MAIN"},
    {kAggregateIsPrivateKey, "PRIVATE"},
    {kAggregateIsStackedKey, "STACKED"},
    {kAggregateTapAutoStartKey, "AUTOSTART"},
    {kAggregateSubDeviceListKey, "SUBDEVICES"},
    {kAggregateTapListKey, "TAPS"},
    {kSubTapDriftCompensationKey, "DRIFT"},
};

struct Case {
  const char* name;
  Dictionary input;
  const char* expected;
};

class PropertyListTest : public testing::TestWithParam<Case> {};

TEST_P(PropertyListTest, ConvertsValuesAndKeys) {
  RenderingBuilder builder;
  EXPECT_EQ(toPropertyList(GetParam().input, builder, kKeys), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, PropertyListTest,
    testing::Values(
        // bool must not turn into the integer 1, nor an integer into a bool.
        Case{"BooleansStayBooleans",
             {{"private", true}, {"stacked", false}},
             "{PRIVATE=b:true,STACKED=b:false}"},
        Case{"NumbersKeepTheirKind",
             {{"a", 1}, {"b", std::int64_t(-5)}, {"c", 0.5}, {"d", 0.25f}},
             "{a=i:1,b=i:-5,c=d:0.500000,d=f:0.250000}"},
        Case{"EmptyListIsKept", {{"subdevices", Array{}}}, "{SUBDEVICES=[]}"},
        Case{"UnknownKeyKeepsItsName", {{"clock", "X"}}, "{clock=\"X\"}"},
        Case{"LaterDuplicateWins", {{"name", "first"}, {"name", "second"}}, "{NAME=\"second\"}"},
        Case{"KeysInsideListsAreTranslated",
             {{"taps", Array{Dictionary{{"uid", "T"}, {"drift", true}}, Array{1, "x"}}}},
             "{TAPS=[{UID=\"T\",DRIFT=b:true},[i:1,\"x\"]]}"},
        Case{"AggregateDescription",
             {{kAggregateNameKey, "Orvane Tap"},
              {kAggregateUIDKey, "A"},
              {kAggregateMainSubDeviceKey, "M"},
              {kAggregateIsPrivateKey, true},
              {kAggregateIsStackedKey, false},
              {kAggregateTapAutoStartKey, false},
              {kAggregateSubDeviceListKey, Array{}},
              {kAggregateTapListKey,
               Array{Dictionary{{kSubTapUIDKey, "T"}, {kSubTapDriftCompensationKey, true}}}}},
             "{NAME=\"Orvane Tap\",UID=\"A\",MAIN=\"M\",PRIVATE=b:true,STACKED=b:false,AUTOSTART=b:false,"
             "SUBDEVICES=[],TAPS=[{UID=\"T\",DRIFT=b:true}]}"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace audiotap::platform::macos
