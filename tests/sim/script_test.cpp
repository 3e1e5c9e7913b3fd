// What the process tests cannot show about AUDIOTAP_SIM: the edges of a
// status, messages that hold colons, and each kind of entry it refuses.
#include "platform/sim/script.h"

#include <gtest/gtest.h>

namespace audiotap::platform::sim {
namespace {

TEST(SimScript, ParsesStatusesInEveryForm) {
  const struct {
    const char* text;
    std::optional<OSStatus> status;
  } cases[] = {{"-2147483648", OSStatus(-2147483647 - 1)},
               {"2147483648", std::nullopt},
               {"0xFFFFFFCE", -50},
               {"0x", std::nullopt},
               {"0x1FFFFFFFF", std::nullopt},
               {"'uid '", 0x75696420},
               {"'abc'", std::nullopt},
               {"12abc", std::nullopt},
               {"+5", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(parseStatus(c.text), c.status) << c.text;
}

TEST(SimScript, MessagesKeepTheirColonsAndEntriesTheirInnerSpaces) {
  const auto parsed = parseScript(
      " uid.value=a b=c ;convert=error:a: b;lose=3:gone: for good;;switch=2:A:16000,1,2:lost=x: "
      "y;switch=0:B");
  ASSERT_TRUE(parsed.script) << parsed.badEntry;
  EXPECT_EQ(parsed.script->uidValue, "a b=c");
  EXPECT_EQ(parsed.script->convertMessage, "a: b");
  EXPECT_EQ(parsed.script->loseAfter, 3u);
  EXPECT_EQ(parsed.script->loseMessage, "gone: for good");
  ASSERT_EQ(parsed.script->switches.size(), 2u);
  EXPECT_EQ(parsed.script->switches[0].lostMessage, "x: y");
  EXPECT_EQ(parsed.script->switches[0].format->sampleRate, 16000);
  EXPECT_EQ(parsed.script->switches[1].uid, "B");
  EXPECT_FALSE(parsed.script->switches[1].format || parsed.script->switches[1].lostMessage);
  const auto changes = parseScript("reformat=7:32000,2,8,float,planar;die=4:aggregate;mismatch=2:3");
  ASSERT_TRUE(changes.script) << changes.badEntry;
  EXPECT_EQ(changes.script->reformatAfter, 7u);
  EXPECT_EQ(changes.script->reformat.channels, 2u);
  EXPECT_FALSE(changes.script->reformat.interleaved);
  EXPECT_TRUE(changes.script->aggregateDies);
  EXPECT_EQ(changes.script->mismatchCount, 3u);
  const auto silence = parseScript("die=4:device:'!obj';piro=self,7");
  ASSERT_TRUE(silence.script) << silence.badEntry;
  EXPECT_EQ(silence.script->deadReadStatus, 0x216F626A);
  EXPECT_EQ(silence.script->runningOutput, std::vector<int>{7});
  EXPECT_TRUE(silence.script->selfRunsOutput);
  EXPECT_EQ(parseScript("piro=").script->runningOutput, std::vector<int>{});
}

TEST(SimScript, RefusesTheFirstBadEntry) {
  EXPECT_EQ(parseScript("pace=fast; Tap=1 ;count=x").badEntry, "Tap=1");
  for (const char* entry : {"count",
                            "tap=",
                            "device.id=-1",
                            "uid.ref=some",
                            "ioproc.id=7",
                            "format=48000,1",
                            "format=0,1,4",
                            "format=48000,0,4",
                            "format=48000,1,4,float,float",
                            "format=48000,1,4,double",
                            "media=speaker",
                            "amp=1.5",
                            "amp=nan",
                            "frames=0",
                            "count=-1",
                            "pace=slow",
                            "odd=none,weird",
                            "convert=error",
                            "lose=3",
                            "lose=x:gone",
                            "switch=2",
                            "switch=x:A",
                            "switch=2::lost=x",
                            "switch=2:A:48000,1",
                            "die=3:speaker",
                            "die=device",
                            "die=3:device:",
                            "stall=x",
                            "piro=7,,8",
                            "piro=me",
                            "reformat=3:48000,0,4",
                            "mismatch=3",
                            "gone=-1",
                            "mic=maybe",
                            "mic.uid=",
                            "mic.format=48000",
                            "mic.format=48000,0",
                            "mic.amp=2",
                            "mic.lose=x",
                            "trace="}) {
    const auto parsed = parseScript(entry);
    EXPECT_FALSE(parsed.script) << entry;
    EXPECT_EQ(parsed.badEntry, entry);
  }
}

}  // namespace
}  // namespace audiotap::platform::sim
