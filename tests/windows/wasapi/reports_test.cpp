#include "platform/windows/wasapi/reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace audiotap::platform::windows {
namespace {

using Kind = SourceReport::Kind;

// The capture's task and the notification thread send through one Reports;
// the core must see the capture's end once, and nothing after close().
TEST(Reports, PassesOnWhatTheContractAllows) {
  struct Case {
    std::string name;
    std::vector<Kind> sent;
    int closeAt;  // close() before this one; -1: never
    std::vector<Kind> passed;
  };
  const Case cases[] = {
      {"everything before close",
       {Kind::Notice, Kind::DefaultOutputChanged, Kind::DeviceLost},
       -1,
       {Kind::Notice, Kind::DefaultOutputChanged, Kind::DeviceLost}},
      {"a lost device once", {Kind::DeviceLost, Kind::DeviceLost}, -1, {Kind::DeviceLost}},
      {"one end, whichever comes first",
       {Kind::SystemRestarted, Kind::DeviceLost, Kind::Notice},
       -1,
       {Kind::SystemRestarted, Kind::Notice}},
      {"notices and changes repeat",
       {Kind::Notice, Kind::Notice, Kind::DefaultOutputChanged, Kind::DefaultOutputChanged},
       -1,
       {Kind::Notice, Kind::Notice, Kind::DefaultOutputChanged, Kind::DefaultOutputChanged}},
      {"nothing after close",
       {Kind::Notice, Kind::DeviceLost, Kind::DefaultOutputChanged},
       1,
       {Kind::Notice}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Kind> passed;
    Reports reports([&passed](const SourceReport& report) { passed.push_back(report.kind); });
    for (std::size_t i = 0; i < c.sent.size(); ++i) {
      if (int(i) == c.closeAt) reports.close();
      reports.send(c.sent[i], "m");
    }
    EXPECT_EQ(passed, c.passed);
  }
}

}  // namespace
}  // namespace audiotap::platform::windows
