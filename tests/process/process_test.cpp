// audiotap-sim driven as a host drives it, checked line by line and byte by byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "sim.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

const std::string kTapFailed =
    "AudioHardwareCreateProcessTap failed \xE2\x80\x94 this usually means audio-capture permission "
    "has not been granted to the host app.";
const std::string kAggregateFailed = "AudioHardwareCreateAggregateDevice failed";
const std::string kIOProcFailed = "AudioDeviceCreateIOProcIDWithBlock failed";
const std::string kNoConverter = "could not build a converter from the tap format to 16 kHz mono PCM16";
const std::string kGone = "The sound server went away: connection refused";
// 16 kHz int16 in and out: nothing to resample, so the written samples are the
// scripted ones. A 4 kHz full-scale tone gives 0, 32767, 0, -32768; buffers of
// 162 frames show that its phase runs on from one buffer to the next.
const std::string kExact = "format=16000,1,2,int16;tone=4000;amp=1;frames=162";
const std::string kFullScaleBytes("\x00\x00\xFF\x7F\x00\x00\x00\x80", 8);

// How far start-up got; each stage's failure undoes what came before it.
enum Built { kNothing, kTap, kAggregate, kFormats, kIOProc, kStarted };

Lines graphUpTo(Built built, const std::string& lost = "") {
  static const Lines kMade = {"AudioHardwareCreateProcessTap", "AudioHardwareCreateAggregateDevice",
                              "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart 92 proc"};
  static const Lines kUndone = {"AudioDeviceStop 92 proc", "AudioDeviceDestroyIOProcID 92 proc",
                                "AudioHardwareDestroyAggregateDevice 92",
                                "AudioHardwareDestroyProcessTap 91"};
  const int made[] = {0, 1, 2, 2, 3, 4}, undone[] = {0, 0, 1, 2, 2, 4};
  Lines calls(kMade.begin(), kMade.begin() + made[built]);
  if (!lost.empty()) calls.push_back("DeviceLost " + lost);
  calls.insert(calls.end(), kUndone.end() - undone[built], kUndone.end());
  return calls;
}

std::vector<json> eventsAfterReady(const Child& child) {
  std::vector<json> events;
  for (const auto& event : child.events()) {
    if (event.type() != "ready") events.push_back(event.json);
  }
  return events;
}

// ---------------------------------------------------------------------------
// Start-up failures: one "error" (after "stopped" for a failed start), exit 1,
// nothing on stdout, what existed torn down aggregate first.

struct StartupFailure {
  std::string name, script, rate;  // rate: the --rate argument, if any
  json error;                      // without its type
  Built built;
  long uidReleases = 1;
};

class StartupFailureTest : public testing::TestWithParam<StartupFailure> {};

TEST_P(StartupFailureTest, ReportsTearsDownAndExitsWithOne) {
  const StartupFailure& c = GetParam();
  Sim sim(c.script, c.rate.empty() ? Lines{} : Lines{"--rate", c.rate});
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  EXPECT_TRUE(sim.pcm().empty());
  json error = c.error;
  error["type"] = "error";
  std::vector<json> expected = {error};
  if (c.built == kStarted) expected.insert(expected.begin(), json{{"type", "stopped"}, {"frames", 0}});
  EXPECT_EQ(eventsAfterReady(sim), expected);
  EXPECT_EQ(sim.count("ready"), 0u);
  if (c.error.contains("status")) {
    EXPECT_TRUE(sim.events().back().json["status"].is_number_integer());
  }
  const Lines trace = sim.trace();
  EXPECT_EQ(graphCalls(trace), graphUpTo(c.built));
  EXPECT_EQ(countOf(trace, "CFRelease uid"), c.uidReleases);
  EXPECT_EQ(countOf(trace, "CFRelease invalid") + countOf(trace, "CopyString invalid"), 0);
}

json failure(const std::string& message) { return {{"message", message}}; }
json failure(const std::string& message, std::int32_t status, const std::string& code) {
  return {{"message", message}, {"status", status}, {"code", code}};
}

INSTANTIATE_TEST_SUITE_P(
    Process, StartupFailureTest,
    testing::Values(
        StartupFailure{"DeviceReadFails", "device=-1", "", failure("no default output device"), kNothing, 0},
        StartupFailure{"NoDevice", "device.id=0", "", failure("no default output device"), kNothing, 0},
        StartupFailure{"UidReadFails", "uid='nope'", "", failure("no default output device"), kNothing, 1},
        StartupFailure{"UidLeavesNoReference", "uid.ref=none", "", failure("no default output device"),
                       kNothing, 0},
        StartupFailure{"TapRefused", "tap='nope'", "", failure(kTapFailed, 1852797029, "nope"), kTap},
        StartupFailure{"TapNegativeStatus", "tap=-50", "", failure(kTapFailed, -50, "-50"), kTap},
        StartupFailure{"TapYieldsNoID", "tap.id=0", "", failure(kTapFailed, 0, "0"), kTap},
        StartupFailure{"AggregateRefused", "aggregate=0x216F626A", "",
                       failure(kAggregateFailed, 560947818, "!obj"), kAggregate},
        StartupFailure{"AggregateYieldsNoID", "aggregate.id=0", "", failure(kAggregateFailed, 0, "0"),
                       kAggregate},
        StartupFailure{"TapFormatUnreadable", "tfmt='who?'", "",
                       failure("could not read the tap's stream format"), kFormats},
        StartupFailure{"TapFormatRefused", "media=tapformat", "", failure(kNoConverter), kFormats},
        StartupFailure{"OutputFormatRefused", "media=outputformat", "", failure(kNoConverter), kFormats},
        StartupFailure{"ConverterRefused", "media=converter", "8000", failure(kNoConverter), kFormats},
        StartupFailure{"RateZero", "", "0", failure(kNoConverter), kFormats},
        StartupFailure{"RateNan", "", "nan", failure(kNoConverter), kFormats},
        StartupFailure{"IOProcRefused", "ioproc=2003332927", "", failure(kIOProcFailed, 2003332927, "who?"),
                       kIOProc},
        StartupFailure{"IOProcYieldsNoID", "ioproc.id=none", "", failure(kIOProcFailed, 0, "0"), kIOProc},
        StartupFailure{"StartRefused", "start=0x7F414243", "",
                       failure("AudioDeviceStart failed", 2134983235, "2134983235"), kStarted}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Runs that start: "ready" reports the tap's format as read, the output format
// and the UID; every stop path gives one "stopped", last, counting exactly the
// bytes written, then teardown in order and exit 0.

struct CleanRun {
  std::string name, script;
  Lines args;
  // Once capture runs, in order: INT, TERM or HUP (a signal), eof (close
  // standard input), full (let standard output fill up, so that the IO block
  // is stuck writing), junk (write bytes that are no command), level (wait for
  // one: by then a wrong stop would have happened), wait (for --seconds).
  // Empty: standard input is at its end from the start.
  std::string steps;
  double tapRate = 48000;
  std::int64_t tapChannels = 1;
  double outputRate = 16000;
  std::string uid = "SimOutputDevice";
};

class CleanRunTest : public testing::TestWithParam<CleanRun> {};

TEST_P(CleanRunTest, ReportsReadyThenStopsOnceInOrder) {
  const CleanRun& c = GetParam();
  Sim sim(c.script, c.args, c.steps.empty());
  if (!c.steps.empty()) {
    ASSERT_TRUE(sim.waitForEvent("ready")) << sim.stderrText();
    ASSERT_TRUE(sim.waitForBytes(3200)) << sim.stderrText();
    ASSERT_TRUE(sim.waitUntilArmed()) << sim.stderrText();
  }
  std::istringstream steps(c.steps);
  for (std::string step; steps >> step;) {
    const std::map<std::string, int> signals = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
    if (signals.count(step)) sim.signal(signals.at(step));
    if (step == "eof") sim.closeStdin();
    if (step == "junk") sim.writeStdin(std::string("not a command\n\x04\0x", 17));
    const bool done =
        step == "full" ? sim.fillStdout() : step != "level" || (sim.waitForEvent("level") && !sim.exited());
    ASSERT_TRUE(done) << step << "\n" << sim.stderrText();
  }
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  ASSERT_EQ(sim.count("ready"), 1u) << sim.stderrText();
  const json ready = sim.eventsOfType("ready")[0].json;
  EXPECT_EQ(ready, json({{"type", "ready"},
                         {"tapFormat", {{"sampleRate", c.tapRate}, {"channels", c.tapChannels}}},
                         {"outputFormat", {{"sampleRate", c.outputRate}, {"channels", 1.0}, {"bits", 16.0}}},
                         {"outputDeviceUID", c.uid},
                         {"version", AUDIOTAP_VERSION}}));
  EXPECT_TRUE(ready["tapFormat"]["channels"].is_number_integer());
  // A host that has stopped reading may be told so before the stop comes,
  // when a loaded machine delays it; any other error is a fault.
  std::size_t errors = 0;
  for (const auto& event : sim.eventsOfType("error")) {
    const bool told = event.json.value("message", "").rfind("standard output is not being read", 0) == 0;
    errors += !(told && c.steps.find("full") != std::string::npos);
  }
  EXPECT_EQ(errors, 0u) << sim.stderrText();
  expectOrderlyEnd(sim);
  EXPECT_EQ(graphCalls(sim.trace()), graphUpTo(kStarted));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Process, CleanRunTest, testing::Values(
    CleanRun{"SigintStereoFloatTo8k", "format=44100,2,8", {"--rate", "8000"}, "INT", 44100, 2, 8000},
    CleanRun{"SighupPlanarInt16To44k1", "format=32000,2,2,int16,planar", {"--rate", "44100"}, "HUP", 32000, 2,
             44100},
    CleanRun{"SigtermUidWithQuotesAndUnicode", "uid.value=Studio \"Display\" \xE2\x9C\x93 \\ ", {}, "TERM",
             48000, 1, 16000, "Studio \"Display\" \xE2\x9C\x93 \\"},
    // Samples the writer is writing are already counted: all must arrive.
    CleanRun{"SigtermWhileOutputIsFull", "", {}, "full TERM"},
    CleanRun{"SignalAndEndOfInput", "", {}, "HUP eof"},
    CleanRun{"EndOfInputSecondsLastWithoutValue", "", {"--rate", "8000", "--seconds"}, "eof", 48000, 1, 8000},
    CleanRun{"InputAlreadyAtEndRateLastWithoutValue", "", {"--rate"}, ""},
    CleanRun{"TimeLimit", "", {"--seconds", "0.5"}, "wait"},
    CleanRun{"BytesOnInputAreDiscarded", "", {}, "junk level eof"},
    CleanRun{"NegativeSecondsIsNoLimit", "", {"--seconds", "-3"}, "level INT"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// The platform sees the graph the host machine would: the reads, the tap
// description, the aggregate description and the output format.
TEST(ProcessGraph, BuildsTheTapAndAggregateTheHostWould) {
  Sim sim("", {"--rate", "22050"}, true);
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  const Lines trace = sim.trace();
  for (const std::string line :
       {"AudioObjectGetPropertyData 1 dOut glob 0 4", "AudioObjectGetPropertyData 73 uid  glob 0 8",
        "CFRelease uid", "CATapDescription initMonoGlobalTapButExcludeProcesses []",
        "CATapDescription setName Orvane system audio", "CATapDescription setPrivate 1",
        "CATapDescription setMuteBehavior 0", "AudioObjectGetPropertyData 91 tfmt glob 0 40",
        "AVAudioFormat initWithCommonFormat 3 22050 1 1"}) {
    EXPECT_EQ(countOf(trace, line), 1) << line;
  }
  std::string tapUUID;
  json description;
  for (const auto& line : trace) {
    if (line.rfind("CATapDescription setUUID ", 0) == 0) tapUUID = line.substr(25);
    if (line.rfind("AudioHardwareCreateAggregateDevice ", 0) == 0) description = json::parse(line.substr(35));
  }
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(tapUUID, uuid)) << tapUUID;
  EXPECT_EQ(countOf(trace, "AudioHardwareCreateProcessTap " + tapUUID), 1);
  ASSERT_TRUE(description.is_object());
  const std::string aggregateUID = description.value("uid", "");
  EXPECT_TRUE(std::regex_match(aggregateUID, uuid)) << aggregateUID;
  EXPECT_NE(aggregateUID, tapUUID);
  EXPECT_EQ(description, json({{"name", "Orvane Tap"},
                               {"uid", aggregateUID},
                               {"master", "SimOutputDevice"},
                               {"private", true},
                               {"stacked", false},
                               {"tapautostart", false},
                               {"subdevices", json::array()},
                               {"taps", json::array({{{"uid", tapUUID}, {"drift", true}}})}}));
}

// ---------------------------------------------------------------------------
// Runs that end by themselves: the device is lost after five scripted buffers,
// which must give one "error", then "stopped", exit 1, and exactly the
// samples the buffers hold, little-endian, on standard output.

struct LostCase {
  std::string name, script;
  std::string bytes;                     // the PCM, repeating; empty: nothing written
  std::vector<std::string> errors = {};  // before the loss's
};

class DeviceLostTest : public testing::TestWithParam<LostCase> {};

TEST_P(DeviceLostTest, WritesExactlyTheScriptedSamplesThenStops) {
  const LostCase& c = GetParam();
  Sim sim("pace=fast;" + c.script + ";lose=5:" + kGone);
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  EXPECT_EQ(sim.count("ready"), 1u);
  std::vector<json> expected;
  for (const auto& message : c.errors) expected.push_back({{"type", "error"}, {"message", message}});
  expected.push_back({{"type", "error"}, {"message", kGone}});
  std::vector<json> events = eventsAfterReady(sim);
  if (!events.empty()) events.pop_back();
  EXPECT_EQ(events, expected);
  expectOrderlyEnd(sim);
  std::string pcm;
  while (!c.bytes.empty() && pcm.size() < 5 * 162 * 2) pcm += c.bytes;
  EXPECT_EQ(sim.pcm(), pcm.substr(0, 5 * 162 * 2));
  EXPECT_EQ(graphCalls(sim.trace()), graphUpTo(kStarted, kGone));
}

INSTANTIATE_TEST_SUITE_P(
    Process, DeviceLostTest,
    testing::Values(LostCase{"OddListsThenFullScaleInt16", "odd=short,empty,none;" + kExact, kFullScaleBytes},
                    LostCase{"FullScaleFloat", "format=16000,1,4,float;tone=4000;amp=1;frames=162",
                             kFullScaleBytes},
                    LostCase{"SmallestSteps", kExact + ";amp=0.000030517578125",
                             std::string("\0\0\x01\0\0\0\xFF\xFF", 8)},
                    LostCase{"StereoPlanarMixesDown", kExact + ";format=16000,2,2,int16,planar;amp=0.5",
                             std::string("\0\0\x00\x40\0\0\x00\xC0", 8)},
                    LostCase{"ConverterRanDryWritesFrames", "convert=randry;" + kExact, kFullScaleBytes},
                    LostCase{"ConverterYieldsNothing", "convert=noframes", ""}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// "level": about once a second while audio is written, never while nothing is,
// its frames counting every sample written before it.

struct LevelCase {
  std::string name, script;
  double peak, tolerance;  // peak < 0: nothing is written
};

class LevelTest : public testing::TestWithParam<LevelCase> {};

TEST_P(LevelTest, ReportsPeakAndFramesOnceASecond) {
  const LevelCase& c = GetParam();
  Sim sim(c.script, {"--seconds", "2.2"});
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  const double lifetime = std::chrono::duration<double>(Clock::now() - sim.started()).count();
  const auto levels = sim.eventsOfType("level");
  EXPECT_EQ(levels.empty(), c.peak < 0) << sim.stderrText();
  EXPECT_LE(double(levels.size()), lifetime);
  std::int64_t previous = 0;
  for (const auto& level : levels) {
    ASSERT_EQ(level.json.size(), 3u) << level.json;
    ASSERT_TRUE(level.json.at("frames").is_number_integer()) << level.json;
    const auto frames = level.json.at("frames").get<std::int64_t>();
    EXPECT_NEAR(level.json.at("peak").get<double>(), c.peak, c.tolerance);
    EXPECT_GT(frames, previous);
    EXPECT_LE(std::size_t(2 * frames), level.stdoutBytes) << "level counts samples not yet written";
    previous = frames;
  }
  expectOrderlyEnd(sim);
  EXPECT_EQ(sim.pcm().empty(), c.peak < 0);
}

INSTANTIATE_TEST_SUITE_P(
    Process, LevelTest,
    testing::Values(LevelCase{"HalfScaleResampled", "", 0.5, 0.05}, LevelCase{"Silence", "amp=0", 0, 0},
                    LevelCase{"FullScale", "format=16000,1,2,int16;tone=4000;amp=1", 1, 0},
                    LevelCase{"NothingWritten", "convert=noframes", -1, 0}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace audiotap::test
