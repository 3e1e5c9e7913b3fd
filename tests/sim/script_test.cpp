#include "platform/sim/script.h"

#include <gtest/gtest.h>

namespace audiotap::sim {
namespace {

struct StatusCase {
  const char* text;
  std::optional<OSStatus> status;
};

TEST(SimScript, ParsesStatusesInEveryForm) {
  const StatusCase cases[] = {
      {"0", 0},
      {"-50", -50},
      {"2147483647", 2147483647},
      {"-2147483648", OSStatus(-2147483647 - 1)},
      {"2147483648", std::nullopt},
      {"0x6E6F7065", 1852797029},
      {"0xFFFFFFCE", -50},
      {"0x", std::nullopt},
      {"0x1FFFFFFFF", std::nullopt},
      {"'nope'", 1852797029},
      {"'uid '", 0x75696420},
      {"'abc'", std::nullopt},
      {"12abc", std::nullopt},
      {"", std::nullopt},
      {"+5", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseStatus(c.text), c.status) << c.text;
}

TEST(SimScript, MessagesKeepTheirColonsAndEntriesTheirInnerSpaces) {
  const auto parsed = parseScript(" uid.value=a b=c ;convert=error:a: b;lose=3:gone: for good;;");
  ASSERT_TRUE(parsed.script) << parsed.badEntry;
  EXPECT_EQ(parsed.script->uidValue, "a b=c");
  EXPECT_EQ(parsed.script->convertMessage, "a: b");
  EXPECT_EQ(parsed.script->loseAfter, 3u);
  EXPECT_EQ(parsed.script->loseMessage, "gone: for good");
}

TEST(SimScript, RefusesTheFirstBadEntry) {
  const struct {
    const char* script;
    const char* bad;
  } cases[] = {
      {"colour=blue", "colour=blue"},
      {"pace=fast; Tap=1 ;count=1", "Tap=1"},
      {"count", "count"},
      {"tap=", "tap="},
      {"tap=nope", "tap=nope"},
      {"device.id=-1", "device.id=-1"},
      {"uid.ref=some", "uid.ref=some"},
      {"ioproc.id=7", "ioproc.id=7"},
      {"format=48000,1", "format=48000,1"},
      {"format=0,1,4", "format=0,1,4"},
      {"format=48000,0,4", "format=48000,0,4"},
      {"format=48000,1,4,float,float", "format=48000,1,4,float,float"},
      {"format=48000,1,4,double", "format=48000,1,4,double"},
      {"media=speaker", "media=speaker"},
      {"amp=1.5", "amp=1.5"},
      {"amp=nan", "amp=nan"},
      {"frames=0", "frames=0"},
      {"count=-1", "count=-1"},
      {"pace=slow", "pace=slow"},
      {"odd=none,weird", "odd=none,weird"},
      {"convert=error", "convert=error"},
      {"lose=3", "lose=3"},
      {"lose=x:gone", "lose=x:gone"},
      {"trace=", "trace="},
  };
  for (const auto& c : cases) {
    const auto parsed = parseScript(c.script);
    EXPECT_FALSE(parsed.script) << c.script;
    EXPECT_EQ(parsed.badEntry, c.bad) << c.script;
  }
}

}  // namespace
}  // namespace audiotap::sim
