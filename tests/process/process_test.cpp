// audiotap-sim driven as a host drives it, checked line by line and byte by byte.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "child.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

const std::string kTapMessage =
    "AudioHardwareCreateProcessTap failed \xE2\x80\x94 this usually means audio-capture permission has not "
    "been "
    "granted to the host app.";
const std::string kConverterMessage = "could not build a converter from the tap format to 16 kHz mono PCM16";
const std::vector<std::string> kTeardown = {"AudioDeviceStop 92 proc", "AudioDeviceDestroyIOProcID 92 proc",
                                            "AudioHardwareDestroyAggregateDevice 92",
                                            "AudioHardwareDestroyProcessTap 91"};
// 16 kHz int16 in and out: the converter has nothing to resample, so the
// written samples are the scripted ones. 4 kHz full scale gives 0, 1, 0, -1.
const std::string kExactFullScale = "format=16000,1,2,int16;tone=4000;amp=1;frames=160;pace=fast";

std::set<std::string> keysOf(const json& object) {
  std::set<std::string> keys;
  for (const auto& item : object.items()) keys.insert(item.key());
  return keys;
}

std::vector<std::int16_t> samplesOf(const std::string& pcm) {
  std::vector<std::int16_t> samples;
  for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
    samples.push_back(std::int16_t(std::uint8_t(pcm[i]) | (std::uint16_t(std::uint8_t(pcm[i + 1])) << 8)));
  }
  return samples;
}

// The capture-graph calls of a trace; creating calls cut to their name.
std::vector<std::string> graphCalls(const std::vector<std::string>& trace) {
  static const std::set<std::string> kCreating = {"AudioHardwareCreateProcessTap",
                                                  "AudioHardwareCreateAggregateDevice",
                                                  "AudioDeviceCreateIOProcIDWithBlock"};
  static const std::set<std::string> kOthers = {"AudioDeviceStart",
                                                "AudioDeviceStop",
                                                "AudioDeviceDestroyIOProcID",
                                                "AudioHardwareDestroyAggregateDevice",
                                                "AudioHardwareDestroyProcessTap",
                                                "DeviceLost"};
  std::vector<std::string> calls;
  for (const auto& line : trace) {
    const std::string name = line.substr(0, line.find(' '));
    if (kCreating.count(name)) calls.push_back(name);
    if (kOthers.count(name)) calls.push_back(line);
  }
  return calls;
}

long countLines(const std::vector<std::string>& trace, const std::string& line) {
  return std::count(trace.begin(), trace.end(), line);
}

std::vector<std::string> withTeardown(std::vector<std::string> calls) {
  calls.insert(calls.end(), kTeardown.begin(), kTeardown.end());
  return calls;
}

const std::vector<std::string> kGraph = {"AudioHardwareCreateProcessTap",
                                         "AudioHardwareCreateAggregateDevice",
                                         "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart 92 proc"};

// ---------------------------------------------------------------------------
// Start-up failures: one "error" (after "stopped" for a failed start), exit 1,
// nothing on stdout, and what existed torn down aggregate first.

struct StartupFailure {
  std::string name;
  std::string script;
  std::vector<std::string> args;
  std::string message;
  std::optional<std::int32_t> status;
  std::string code;
  std::vector<std::string> graph;
  long uidReleases = 1;
};

class StartupFailureTest : public testing::TestWithParam<StartupFailure> {};

TEST_P(StartupFailureTest, ReportsTearsDownAndExitsWithOne) {
  const StartupFailure& c = GetParam();
  TempPath trace;
  Child child({c.args, "trace=" + trace.path() + ";" + c.script});
  ASSERT_EQ(child.finish(), 1) << child.stderrText();
  EXPECT_TRUE(child.pcm().empty());

  const bool failedStart = c.message == "AudioDeviceStart failed";
  ASSERT_EQ(child.events().size(), failedStart ? 2u : 1u) << child.stderrText();
  if (failedStart) {
    EXPECT_EQ(child.events()[0].json, json({{"type", "stopped"}, {"frames", 0}}));
  }
  const json& error = child.events().back().json;
  EXPECT_EQ(error.value("type", ""), "error");
  EXPECT_EQ(error.value("message", ""), c.message);
  if (c.status) {
    EXPECT_EQ(keysOf(error), (std::set<std::string>{"type", "message", "status", "code"}));
    ASSERT_TRUE(error["status"].is_number_integer());
    EXPECT_EQ(error["status"].get<std::int64_t>(), *c.status);
    EXPECT_EQ(error.value("code", ""), c.code);
  } else {
    EXPECT_EQ(keysOf(error), (std::set<std::string>{"type", "message"}));
  }

  const auto lines = trace.lines();
  EXPECT_EQ(graphCalls(lines), c.graph);
  EXPECT_EQ(countLines(lines, "CFRelease uid"), c.uidReleases);
  EXPECT_EQ(countLines(lines, "CFRelease invalid") + countLines(lines, "CopyString invalid"), 0);
}

const std::vector<std::string> kTap = {"AudioHardwareCreateProcessTap"};
const std::vector<std::string> kTapAggregate = {"AudioHardwareCreateProcessTap",
                                                "AudioHardwareCreateAggregateDevice"};
std::vector<std::string> then(std::vector<std::string> calls, const std::vector<std::string>& more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}
const std::vector<std::string> kDestroyBoth = {"AudioHardwareDestroyAggregateDevice 92",
                                               "AudioHardwareDestroyProcessTap 91"};

INSTANTIATE_TEST_SUITE_P(
    Process, StartupFailureTest,
    testing::Values(
        StartupFailure{"DeviceReadFails", "device=-1", {}, "no default output device", {}, "", {}, 0},
        StartupFailure{"NoDevice", "device.id=0", {}, "no default output device", {}, "", {}, 0},
        StartupFailure{"UidReadFails", "uid='nope'", {}, "no default output device", {}, "", {}, 1},
        StartupFailure{"UidLeavesNoReference", "uid.ref=none", {}, "no default output device", {}, "", {}, 0},
        StartupFailure{
            "UidFailsWithoutReference", "uid=5;uid.ref=none", {}, "no default output device", {}, "", {}, 0},
        StartupFailure{"TapRefused", "tap='nope'", {}, kTapMessage, 1852797029, "nope", kTap},
        StartupFailure{"TapNegativeStatus", "tap=-50", {}, kTapMessage, -50, "-50", kTap},
        StartupFailure{"TapYieldsNoID", "tap.id=0", {}, kTapMessage, 0, "0", kTap},
        StartupFailure{"AggregateRefused",
                       "aggregate=0x216F626A;tap.id=7",
                       {},
                       "AudioHardwareCreateAggregateDevice failed",
                       560947818,
                       "!obj",
                       then(kTapAggregate, {"AudioHardwareDestroyProcessTap 7"})},
        StartupFailure{"AggregateYieldsNoID",
                       "aggregate.id=0",
                       {},
                       "AudioHardwareCreateAggregateDevice failed",
                       0,
                       "0",
                       then(kTapAggregate, {"AudioHardwareDestroyProcessTap 91"})},
        StartupFailure{"TapFormatUnreadable",
                       "tfmt='who?'",
                       {},
                       "could not read the tap's stream format",
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"TapFormatRefused",
                       "media=tapformat",
                       {},
                       kConverterMessage,
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"OutputFormatRefused",
                       "media=outputformat",
                       {},
                       kConverterMessage,
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"ConverterRefused",
                       "media=converter",
                       {"--rate", "8000"},
                       kConverterMessage,
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{
            "RateZero", "", {"--rate", "0"}, kConverterMessage, {}, "", then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"RateNegative",
                       "",
                       {"--rate", "-1"},
                       kConverterMessage,
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{
            "RateNan", "", {"--rate", "nan"}, kConverterMessage, {}, "", then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"RateInfinite",
                       "",
                       {"--rate", "inf"},
                       kConverterMessage,
                       {},
                       "",
                       then(kTapAggregate, kDestroyBoth)},
        StartupFailure{"IOProcRefused",
                       "ioproc=2003332927",
                       {},
                       "AudioDeviceCreateIOProcIDWithBlock failed",
                       2003332927,
                       "who?",
                       then(kTapAggregate, then({"AudioDeviceCreateIOProcIDWithBlock"}, kDestroyBoth))},
        StartupFailure{"IOProcYieldsNoID",
                       "ioproc.id=none",
                       {},
                       "AudioDeviceCreateIOProcIDWithBlock failed",
                       0,
                       "0",
                       then(kTapAggregate, then({"AudioDeviceCreateIOProcIDWithBlock"}, kDestroyBoth))},
        StartupFailure{"StartRefused",
                       "start=0x7F414243",
                       {},
                       "AudioDeviceStart failed",
                       2134983235,
                       "2134983235",
                       withTeardown(kGraph)}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// "ready" reports the tap's format as read, the output format and the UID.

struct ReadyCase {
  std::string name;
  std::string script;
  std::vector<std::string> args;
  double tapRate;
  std::int64_t tapChannels;
  double outputRate;
  std::string uid = "SimOutputDevice";
};

class ReadyTest : public testing::TestWithParam<ReadyCase> {};

TEST_P(ReadyTest, ReportsFormatsAndDevice) {
  const ReadyCase& c = GetParam();
  Child child({c.args, c.script, /*stdinFromDevNull=*/true});
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  ASSERT_EQ(child.count("ready"), 1u) << child.stderrText();
  EXPECT_EQ(child.events().back().type(), "stopped");
  const json ready = child.eventsOfType("ready")[0].json;
  EXPECT_EQ(keysOf(ready), (std::set<std::string>{"type", "tapFormat", "outputFormat", "outputDeviceUID"}));
  EXPECT_EQ(ready["tapFormat"], json({{"sampleRate", c.tapRate}, {"channels", c.tapChannels}}));
  EXPECT_TRUE(ready["tapFormat"]["channels"].is_number_integer());
  EXPECT_EQ(ready["outputFormat"], json({{"sampleRate", c.outputRate}, {"channels", 1.0}, {"bits", 16.0}}));
  EXPECT_EQ(ready.value("outputDeviceUID", ""), c.uid);
  EXPECT_EQ(child.pcm().size(), 2 * child.eventsOfType("stopped")[0].json.value("frames", -1));
}

INSTANTIATE_TEST_SUITE_P(
    Process, ReadyTest,
    testing::Values(
        ReadyCase{"Defaults", "", {}, 48000, 1, 16000},
        ReadyCase{
            "StereoAt44k1To8k", "format=44100,2,8,float,interleaved", {"--rate", "8000"}, 44100, 2, 8000},
        ReadyCase{"PlanarInt16", "format=32000,2,2,int16,planar", {"--rate", "44100"}, 32000, 2, 44100},
        ReadyCase{"UidWithQuotesAndUnicode",
                  "uid.value=Studio \"Display\" \xE2\x9C\x93 \\ ",
                  {},
                  48000,
                  1,
                  16000,
                  "Studio \"Display\" \xE2\x9C\x93 \\"},
        ReadyCase{"RateLastWithoutValue", "", {"--rate"}, 48000, 1, 16000},
        ReadyCase{"SecondsLastWithoutValue", "", {"--rate", "8000", "--seconds"}, 48000, 1, 8000},
        ReadyCase{"OptionTakenAsValue", "", {"--seconds", "--rate", "8000"}, 48000, 1, 16000}),
    [](const auto& info) { return info.param.name; });

// The platform sees the graph the host machine would: the reads, the tap
// description, the aggregate description and the output format.
TEST(ProcessGraph, BuildsTheScriptedGraph) {
  TempPath trace;
  Child child({{"--rate", "22050"}, "trace=" + trace.path(), /*stdinFromDevNull=*/true});
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  const auto lines = trace.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "AudioObjectGetPropertyData 1 dOut glob 0 4");
  EXPECT_EQ(lines[1], "AudioObjectGetPropertyData 73 uid  glob 0 8");
  EXPECT_EQ(countLines(lines, "CFRelease uid"), 1);
  EXPECT_EQ(countLines(lines, "CATapDescription initMonoGlobalTapButExcludeProcesses []"), 1);
  EXPECT_EQ(countLines(lines, "CATapDescription setName Orvane system audio"), 1);
  EXPECT_EQ(countLines(lines, "CATapDescription setPrivate 1"), 1);
  EXPECT_EQ(countLines(lines, "CATapDescription setMuteBehavior 0"), 1);
  EXPECT_EQ(countLines(lines, "AudioObjectGetPropertyData 91 tfmt glob 0 40"), 1);
  EXPECT_EQ(countLines(lines, "AVAudioFormat initWithCommonFormat 3 22050 1 1"), 1);
  EXPECT_EQ(graphCalls(lines), withTeardown(kGraph));

  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::string tapUUID;
  json description;
  for (const auto& line : lines) {
    if (line.rfind("CATapDescription setUUID ", 0) == 0) tapUUID = line.substr(25);
    if (line.rfind("AudioHardwareCreateAggregateDevice ", 0) == 0) description = json::parse(line.substr(35));
  }
  EXPECT_TRUE(std::regex_match(tapUUID, uuid)) << tapUUID;
  EXPECT_EQ(countLines(lines, "AudioHardwareCreateProcessTap " + tapUUID), 1);
  ASSERT_TRUE(description.is_object());
  EXPECT_EQ(keysOf(description), (std::set<std::string>{"name", "uid", "master", "private", "stacked",
                                                        "tapautostart", "subdevices", "taps"}));
  EXPECT_EQ(description["name"], "Orvane Tap");
  const std::string aggregateUID = description.value("uid", "");
  EXPECT_TRUE(std::regex_match(aggregateUID, uuid)) << aggregateUID;
  EXPECT_NE(aggregateUID, tapUUID);
  EXPECT_EQ(description["master"], "SimOutputDevice");
  EXPECT_EQ(description["private"], true);
  EXPECT_EQ(description["stacked"], false);
  EXPECT_EQ(description["tapautostart"], false);
  EXPECT_EQ(description["subdevices"], json::array());
  EXPECT_EQ(description["taps"], json::array({{{"uid", tapUUID}, {"drift", true}}}));
}

// ---------------------------------------------------------------------------
// Every stop path: one "stopped", last, counting exactly the bytes written;
// teardown in order; exit 0.

struct StopCase {
  std::string name;
  std::string script;
  std::vector<std::string> args;
  bool stdinFromDevNull;
  std::function<void(Child&)> stop;
};

class StopTest : public testing::TestWithParam<StopCase> {};

TEST_P(StopTest, StopsOnceInOrder) {
  const StopCase& c = GetParam();
  TempPath trace;
  Child child({c.args, "trace=" + trace.path() + ";" + c.script, c.stdinFromDevNull});
  if (c.stop) {
    ASSERT_TRUE(child.waitForEvent("ready")) << child.stderrText();
    ASSERT_TRUE(child.waitForStdoutBytes(3200)) << child.stderrText();
    ASSERT_TRUE(child.waitUntilArmed()) << child.stderrText();
    c.stop(child);
  }
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  ASSERT_EQ(child.count("stopped"), 1u) << child.stderrText();
  EXPECT_EQ(child.count("error"), 0u) << child.stderrText();
  const json stopped = child.events().back().json;
  EXPECT_EQ(stopped.value("type", ""), "stopped");
  EXPECT_EQ(keysOf(stopped), (std::set<std::string>{"type", "frames"}));
  ASSERT_TRUE(stopped["frames"].is_number_integer());
  EXPECT_EQ(child.pcm().size(), 2 * stopped["frames"].get<std::size_t>());
  if (c.stop) {
    EXPECT_GT(stopped["frames"].get<std::int64_t>(), 0);
  }
  EXPECT_EQ(graphCalls(trace.lines()), withTeardown(kGraph));
}

void keepsRunningThenEnds(Child& child, const std::function<void(Child&)>& end) {
  // A "level" comes a second after start-up: by then a wrong stop would have happened.
  ASSERT_TRUE(child.waitForEvent("level")) << child.stderrText();
  EXPECT_FALSE(child.exited());
  EXPECT_EQ(child.count("stopped"), 0u);
  end(child);
}

INSTANTIATE_TEST_SUITE_P(
    Process, StopTest,
    testing::Values(StopCase{"Sigint", "", {}, false, [](Child& c) { c.signal(SIGINT); }},
                    StopCase{"Sigterm", "", {}, false, [](Child& c) { c.signal(SIGTERM); }},
                    StopCase{"Sighup", "", {}, false, [](Child& c) { c.signal(SIGHUP); }},
                    // The IO block is stuck writing when the stop comes: its samples are
                    // already counted, so they must all arrive before the process ends.
                    StopCase{"SigtermWhileOutputIsFull",
                             "pace=fast",
                             {},
                             false,
                             [](Child& c) {
                               ASSERT_TRUE(c.fillStdout());
                               c.signal(SIGTERM);
                             }},
                    StopCase{"EndOfInputWhileOutputIsFull",
                             "pace=fast",
                             {},
                             false,
                             [](Child& c) {
                               ASSERT_TRUE(c.fillStdout());
                               c.closeStdin();
                             }},
                    StopCase{"TwoSignalsAtOnce",
                             "",
                             {},
                             false,
                             [](Child& c) {
                               c.signal(SIGINT);
                               c.signal(SIGTERM);
                             }},
                    StopCase{"SignalAndEndOfInput",
                             "",
                             {},
                             false,
                             [](Child& c) {
                               c.signal(SIGHUP);
                               c.closeStdin();
                             }},
                    StopCase{"EndOfInput", "", {}, false, [](Child& c) { c.closeStdin(); }},
                    StopCase{"InputAlreadyAtEnd", "", {}, true, nullptr},
                    StopCase{"TimeLimit", "", {"--seconds", "0.5"}, false, nullptr},
                    StopCase{"BytesOnInputAreDiscarded",
                             "",
                             {},
                             false,
                             [](Child& c) {
                               c.writeStdin("not a command\n\x04\0x");
                               keepsRunningThenEnds(c, [](Child& c) { c.closeStdin(); });
                             }},
                    StopCase{"NegativeSecondsIsNoLimit",
                             "",
                             {"--seconds", "-3"},
                             false,
                             [](Child& c) { keepsRunningThenEnds(c, [](Child& c) { c.signal(SIGINT); }); }},
                    StopCase{"NanSecondsIsNoLimit",
                             "",
                             {"--seconds", "nan"},
                             false,
                             [](Child& c) { keepsRunningThenEnds(c, [](Child& c) { c.signal(SIGTERM); }); }}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The PCM stream: exact samples, little-endian, nothing but audio.

struct PcmCase {
  std::string name;
  std::string script;
  std::vector<std::int16_t> period;  // the samples repeat with this period
};

class PcmTest : public testing::TestWithParam<PcmCase> {};

TEST_P(PcmTest, WritesTheScriptedSamples) {
  const PcmCase& c = GetParam();
  Child child({{}, c.script + ";count=20"});
  const std::size_t expected = 20 * 160 * 2;
  ASSERT_TRUE(child.waitForStdoutBytes(expected)) << child.stderrText();
  child.closeStdin();
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  ASSERT_EQ(child.pcm().size(), expected);
  EXPECT_EQ(child.eventsOfType("stopped").at(0).json.value("frames", -1), 20 * 160);
  const auto samples = samplesOf(child.pcm());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(samples[i], c.period[i % c.period.size()]) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Process, PcmTest,
    testing::Values(PcmCase{"FullScaleInt16", kExactFullScale, {0, 32767, 0, -32768}},
                    PcmCase{"FullScaleFloat",
                            "format=16000,1,4,float;tone=4000;amp=1;frames=160;pace=fast",
                            {0, 32767, 0, -32768}},
                    PcmCase{"SmallestSteps",
                            "format=16000,1,2,int16;tone=4000;amp=0.000030517578125;frames=160;pace=fast",
                            {0, 1, 0, -1}},
                    PcmCase{"StereoPlanarMixesDown",
                            "format=16000,2,2,int16,planar;tone=4000;amp=0.5;frames=160;pace=fast",
                            {0, 16384, 0, -16384}}),
    [](const auto& info) { return info.param.name; });

TEST(ProcessPcm, FullScaleIsWrittenLowByteFirst) {
  Child child({{}, kExactFullScale + ";count=1"});
  ASSERT_TRUE(child.waitForStdoutBytes(8)) << child.stderrText();
  child.closeStdin();
  ASSERT_EQ(child.finish(), 0);
  EXPECT_EQ(child.pcm().substr(0, 8), std::string("\x00\x00\xFF\x7F\x00\x00\x00\x80", 8));
}

TEST(ProcessPcm, ResampledToneKeepsPitchAndLevel) {
  // One second of a 1 kHz half-scale sine at 48 kHz float; the loss ends the
  // run once every buffer has been delivered.
  Child child({{}, "pace=fast;lose=100:end"});
  ASSERT_EQ(child.finish(), 1) << child.stderrText();
  const auto samples = samplesOf(child.pcm());
  EXPECT_NEAR(double(samples.size()), 16000, 200);
  // Past the converter's start-up, every 16 samples hold one full cycle.
  std::vector<std::int16_t> steady(samples.begin() + 1000, samples.begin() + 15000);
  int crossings = 0;
  int peak = 0;
  for (std::size_t i = 1; i < steady.size(); ++i) {
    crossings += (steady[i - 1] < 0) != (steady[i] < 0);
    peak = std::max(peak, std::abs(int(steady[i])));
  }
  EXPECT_NEAR(crossings, 2 * 14000 / 16, 20);
  EXPECT_NEAR(peak, 16384, 16384 * 0.04);
}

// ---------------------------------------------------------------------------
// "level": about once a second while audio is written, frames counting every
// sample written before it.

struct LevelCase {
  std::string name;
  std::string script;
  double peakMin;
  double peakMax;
  std::int64_t framesPerCall;  // 0: not fixed
};

class LevelTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LevelTest, ReportsPeakAndFramesOnceASecond) {
  const LevelCase& c = GetParam();
  Child child({{"--seconds", "2.2"}, c.script});
  ASSERT_EQ(child.finish(milliseconds(15000)), 0) << child.stderrText();
  const double lifetime = std::chrono::duration<double>(Clock::now() - child.started()).count();
  const auto levels = child.eventsOfType("level");
  ASSERT_GE(levels.size(), 1u) << child.stderrText();
  EXPECT_LE(double(levels.size()), lifetime);
  std::int64_t previous = 0;
  for (const auto& level : levels) {
    EXPECT_EQ(keysOf(level.json), (std::set<std::string>{"type", "peak", "frames"}));
    ASSERT_TRUE(level.json["frames"].is_number_integer());
    const auto frames = level.json["frames"].get<std::int64_t>();
    const double peak = level.json.value("peak", -1.0);
    EXPECT_GE(peak, c.peakMin);
    EXPECT_LE(peak, c.peakMax);
    EXPECT_GT(frames, previous);
    EXPECT_LE(std::size_t(2 * frames), level.stdoutBytes) << "level counts samples not yet written";
    if (c.framesPerCall) {
      EXPECT_EQ(frames % c.framesPerCall, 0);
    }
    previous = frames;
  }
  const auto stopped = child.eventsOfType("stopped");
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_GE(stopped[0].json.value("frames", -1), previous);
  EXPECT_EQ(child.pcm().size(), 2 * stopped[0].json.value("frames", std::size_t(0)));
}

INSTANTIATE_TEST_SUITE_P(
    Process, LevelTest,
    testing::Values(LevelCase{"HalfScale", "", 0.45, 0.55, 0}, LevelCase{"Silence", "amp=0", 0, 0, 0},
                    LevelCase{"FullScale", "format=16000,1,2,int16;tone=4000;amp=1;frames=160", 1, 1, 160}),
    [](const auto& info) { return info.param.name; });

TEST(ProcessLevel, NothingWrittenMeansNoLevel) {
  Child child({{"--seconds", "2.2"}, "convert=noframes"});
  ASSERT_EQ(child.finish(milliseconds(15000)), 0) << child.stderrText();
  EXPECT_TRUE(child.pcm().empty());
  ASSERT_EQ(child.events().size(), 2u) << child.stderrText();
  EXPECT_EQ(child.events()[0].type(), "ready");
  EXPECT_EQ(child.events()[1].json, json({{"type", "stopped"}, {"frames", 0}}));
}

// ---------------------------------------------------------------------------
// Runs that end by themselves: the device is reported lost after the scripted
// buffers, which must give one "error", then "stopped", then exit 1.

struct LostCase {
  std::string name;
  std::string script;
  std::vector<std::string> runtimeErrors;  // before the loss, in order
  bool writes;
  std::vector<std::int16_t> period;  // expected samples, repeating; empty: not fixed
  std::size_t samples = 0;
  int loseAfter = 5;
};

class DeviceLostTest : public testing::TestWithParam<LostCase> {};

TEST_P(DeviceLostTest, ReportsStopsAndExitsWithOne) {
  const LostCase& c = GetParam();
  const std::string gone = "The sound server went away: connection refused";
  TempPath trace;
  Child child({{},
               "trace=" + trace.path() + ";pace=fast;" + c.script + ";lose=" + std::to_string(c.loseAfter) +
                   ":" + gone});
  ASSERT_EQ(child.finish(), 1) << child.stderrText();

  std::vector<json> afterReady;
  for (const auto& event : child.events()) {
    if (event.type() != "ready") afterReady.push_back(event.json);
  }
  EXPECT_EQ(child.count("ready"), 1u);
  ASSERT_EQ(afterReady.size(), c.runtimeErrors.size() + 2) << child.stderrText();
  for (std::size_t i = 0; i < c.runtimeErrors.size(); ++i) {
    EXPECT_EQ(afterReady[i], json({{"type", "error"}, {"message", c.runtimeErrors[i]}}));
  }
  EXPECT_EQ(afterReady[afterReady.size() - 2], json({{"type", "error"}, {"message", gone}}));
  const json& stopped = afterReady.back();
  EXPECT_EQ(stopped.value("type", ""), "stopped");
  EXPECT_EQ(child.pcm().size(), 2 * stopped.value("frames", std::size_t(0)));

  const auto samples = samplesOf(child.pcm());
  EXPECT_EQ(!samples.empty(), c.writes);
  if (c.samples) {
    ASSERT_EQ(samples.size(), c.samples);
  }
  for (std::size_t i = 0; !c.period.empty() && i < samples.size(); ++i) {
    ASSERT_EQ(samples[i], c.period[i % c.period.size()]) << "sample " << i;
  }
  EXPECT_EQ(graphCalls(trace.lines()), withTeardown(then(kGraph, {"DeviceLost " + gone})));
}

const std::string kExploded = "Converter exploded: \xC2\xABparam\xC2\xBB \"-50\"";

INSTANTIATE_TEST_SUITE_P(
    Process, DeviceLostTest,
    testing::Values(LostCase{"ToneThenLoss", "", {}, true, {}},
                    LostCase{"OddListsWriteNothing", "odd=none,empty,short,none", {}, false, {}, 0, 0},
                    LostCase{"OddListsBeforeExactTone",
                             "odd=short,empty,none;" + kExactFullScale,
                             {},
                             true,
                             {0, 32767, 0, -32768},
                             5 * 160},
                    LostCase{"ConverterErrorEveryCall",
                             "convert=error:" + kExploded,
                             std::vector<std::string>(5, kExploded),
                             false,
                             {}},
                    LostCase{"ConverterYieldsNothing", "convert=noframes", {}, false, {}},
                    LostCase{"ConverterRanDryWritesFrames",
                             "convert=randry;" + kExactFullScale,
                             {},
                             true,
                             {0, 32767, 0, -32768},
                             5 * 160}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------

TEST(ProcessScript, MistypedScriptIsRefused) {
  Child child({{}, "pace=fast; colour=blue ;count=1"});
  ASSERT_EQ(child.finish(), 2);
  EXPECT_TRUE(child.pcm().empty());
  ASSERT_EQ(child.events().size(), 1u);
  EXPECT_EQ(child.events()[0].json, json({{"type", "error"}, {"message", "bad AUDIOTAP_SIM: colour=blue"}}));
}

}  // namespace
}  // namespace audiotap::test
