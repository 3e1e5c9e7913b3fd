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

TEST(SimScript, EmptyScriptIsAHealthyEndlessTone) {
  const auto parsed = parseScript("");
  ASSERT_TRUE(parsed.script);
  const Script& s = *parsed.script;
  EXPECT_EQ(s.deviceID, 73u);
  EXPECT_EQ(s.tapID, 91u);
  EXPECT_EQ(s.aggregateID, 92u);
  EXPECT_FALSE(s.bufferCount);
  EXPECT_TRUE(s.realtime);
  EXPECT_EQ(s.format.sampleRate, 48000);
  EXPECT_EQ(s.format.sampleType, SampleType::Float32);
}

TEST(SimScript, ReadsEveryKey) {
  const auto parsed = parseScript(
      " trace=/tmp/t ; device=1;device.id=5;uid=-1;uid.ref=none;uid.value=a b=c;tap='!obj';tap.id=0;"
      "aggregate=0x10;aggregate.id=3;tfmt=7;format=44100,2,4,int16,planar;media=converter;ioproc=2;"
      "ioproc.id=none;start=9;tone=440.5;amp=1;frames=64;count=0;pace=fast;odd=short,none,empty;"
      "convert=error:a: b;lose=3:gone: for good;");
  ASSERT_TRUE(parsed.script) << parsed.badEntry;
  const Script& s = *parsed.script;
  EXPECT_EQ(s.tracePath, "/tmp/t");
  EXPECT_EQ(s.deviceStatus, 1);
  EXPECT_EQ(s.deviceID, 5u);
  EXPECT_EQ(s.uidStatus, -1);
  EXPECT_FALSE(s.uidLeavesReference);
  EXPECT_EQ(s.uidValue, "a b=c");
  EXPECT_EQ(s.tapStatus, 560947818);
  EXPECT_EQ(s.tapID, 0u);
  EXPECT_EQ(s.aggregateStatus, 16);
  EXPECT_EQ(s.aggregateID, 3u);
  EXPECT_EQ(s.formatStatus, 7);
  EXPECT_EQ(s.format.sampleRate, 44100);
  EXPECT_EQ(s.format.channels, 2u);
  EXPECT_EQ(s.format.bytesPerFrame, 4u);
  EXPECT_EQ(s.format.sampleType, SampleType::Int16);
  EXPECT_FALSE(s.format.interleaved);
  EXPECT_EQ(s.mediaFailure, MediaFailure::Converter);
  EXPECT_EQ(s.ioprocStatus, 2);
  EXPECT_FALSE(s.ioprocYieldsID);
  EXPECT_EQ(s.startStatus, 9);
  EXPECT_EQ(s.toneHz, 440.5);
  EXPECT_EQ(s.amplitude, 1);
  EXPECT_EQ(s.framesPerBuffer, 64u);
  EXPECT_EQ(s.bufferCount, 0u);
  EXPECT_FALSE(s.realtime);
  EXPECT_EQ(s.odd, (std::vector<OddBuffer>{OddBuffer::Short, OddBuffer::None, OddBuffer::Empty}));
  EXPECT_EQ(s.convert, ConvertOutcome::Error);
  EXPECT_EQ(s.convertMessage, "a: b");
  EXPECT_EQ(s.loseAfter, 3u);
  EXPECT_EQ(s.loseMessage, "gone: for good");
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
