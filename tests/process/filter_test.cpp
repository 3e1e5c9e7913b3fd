// --include-pid and --exclude-pid against the simulator's process table: by
// their exact tones, exactly the right processes are heard.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <numbers>

#include "child.h"

namespace audiotap::test {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

// 16 kHz int16 in and out, so the samples are the sum of the tones as played
// (at most 0.6 of full scale: none clips).
// The table (pid:parent:Hz:from ms:until ms):
//   100 an app, silent        101 its child, 1000 Hz     102 101's child, 2000 Hz
//   103 100's child started after "ready" (500 ms), 1500 Hz
//   200 another app, 3000 Hz  201 its late child, 2500 Hz
//   300 silent, its child 301 500 Hz; 400 silent and childless
const std::string kTable =
    "format=16000,1,2,int16;amp=0.1;procs=100:1,101:100:1000,102:101:2000,103:100:1500:500,"
    "200:1:3000,201:200:2500:500,300:1,301:300:500,400:1";
const std::vector<double> kTones = {1000, 2000, 1500, 3000, 2500, 500};
constexpr double kLate = 1500, kLateToo = 2500;

struct TempTrace {
  inline static int made = 0;
  std::string path = testing::TempDir() + "audiotap-filter-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
  TempTrace() { std::remove(path.c_str()); }
  ~TempTrace() { std::remove(path.c_str()); }
  Lines lines() const {
    Lines lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
};

Launch sim(const std::string& script, Lines args, const std::string& trace) {
  return {AUDIOTAP_SIM_PATH, std::move(args), {{"AUDIOTAP_SIM", "trace=" + trace + ";" + script}}};
}

// The amplitude of an exact tone in samples [from, to) of 16 kHz PCM.
double amplitude(const std::string& pcm, double seconds0, double seconds1, double hz) {
  const std::size_t from = std::size_t(seconds0 * 16000), to = std::min(pcm.size() / 2, std::size_t(seconds1 * 16000));
  std::complex<double> sum;
  for (std::size_t i = from; i < to; ++i) {
    std::int16_t sample;
    std::memcpy(&sample, pcm.data() + 2 * i, 2);
    sum += double(sample) * std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / 16000);
  }
  return to > from ? 2 * std::abs(sum) / double(to - from) / 32768 : -1;
}

struct HeardCase {
  std::string name;
  Lines args;
  std::vector<double> heard;  // of kTones; the rest must be silent
  json readyFields;           // "include"/"exclude" as "ready" reports them
  std::string extra = "";     // appended to the script
};

class FilterHeardTest : public testing::TestWithParam<HeardCase> {};

TEST_P(FilterHeardTest, HearsExactlyTheChosenTrees) {
  const HeardCase& c = GetParam();
  TempTrace trace;
  Lines args = c.args;
  args.insert(args.end(), {"--seconds", "1.2"});
  Child child(sim(kTable + c.extra, args, trace.path));
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  ASSERT_EQ(child.count("ready"), 1u);
  EXPECT_EQ(child.count("error"), 0u) << child.stderrText();
  json ready = child.eventsOfType("ready")[0].json;
  for (const char* key : {"type", "tapFormat", "outputFormat", "outputDeviceUID", "version"}) ready.erase(key);
  EXPECT_EQ(ready, c.readyFields);
  expectOrderlyEnd(child);
  const std::string& pcm = child.pcm();
  ASSERT_GE(pcm.size(), 2u * 16000);
  for (const double hz : kTones) {
    const bool heard = std::count(c.heard.begin(), c.heard.end(), hz) > 0;
    const bool late = hz == kLate || hz == kLateToo;
    // The early window ends well before the late processes start (the device
    // may start some time after the table's clock); the later one begins
    // 200 ms after, past the ~100 ms in which they must count.
    const double early = amplitude(pcm, 0.05, 0.3, hz), later = amplitude(pcm, 0.7, 1.15, hz);
    // Unheard: at least 40 dB down.
    EXPECT_NEAR(later, heard ? 0.1 : 0, 0.001) << hz << " Hz after 0.7 s";
    EXPECT_NEAR(early, heard && !late ? 0.1 : 0, 0.001) << hz << " Hz before 0.3 s";
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Process, FilterHeardTest, testing::Values(
    HeardCase{"NoOptionHearsAll", {}, kTones, json::object()},
    HeardCase{"ExcludeLeavesOutTheTreeAndItsLateChild", {"--exclude-pid", "100"}, {3000, 2500, 500},
              {{"exclude", {100}}}},
    HeardCase{"IncludeKeepsTheTreeAndItsLateChild", {"--include-pid", "0100"}, {1000, 2000, 1500},
              {{"include", {100}}}},
    HeardCase{"IncludeMinusExcludedSubtree", {"--include-pid", "100", "--exclude-pid", "101"}, {1500},
              {{"include", {100}}, {"exclude", {101}}}},
    HeardCase{"SeveralOfEach", {"--include-pid", "300", "--exclude-pid", "102", "--include-pid", "200",
              "--exclude-pid", "301"}, {3000, 2500}, {{"include", {300, 200}}, {"exclude", {102, 301}}}},
    // The children stay in the tree of a parent that has ended.
    HeardCase{"OrphansStayExcluded", {"--exclude-pid", "100"}, {3000, 2500, 500}, {{"exclude", {100}}},
              ";procs=100:1:0:0:200,101:100:1000,102:101:2000,103:101:1500:500,200:1:3000,201:200:2500:500,"
              "300:1,301:300:500"},
    HeardCase{"ProcessThatPlaysNothing", {"--include-pid", "400"}, {}, {{"include", {400}}}},
    // 400 ends; a later process under its PID (playing 2500 Hz) is someone else.
    HeardCase{"ReusedPidOfAnEndedRootIsNotItsTree", {"--include-pid", "400"}, {}, {{"include", {400}}},
              ";procs=100:1,101:100:1000,102:101:2000,103:100:1500:500,200:1:3000,201:200:2500:500,"
              "300:1,301:300:500,400:1:0:0:400,400:1:2500:700"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

TEST(Filter, SilenceKeepsTheDeviceClockWhenNothingIncludedPlays) {
  TempTrace trace;
  Child child(sim(kTable, {"--include-pid", "400", "--seconds", "1.5"}, trace.path));
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  expectOrderlyEnd(child);
  EXPECT_EQ(child.pcm(), std::string(child.pcm().size(), '\0'));
  EXPECT_NEAR(double(child.pcm().size()) / 2, 24000, 24000 * 0.1);
  EXPECT_GE(child.count("level"), 1u);
}

TEST(Filter, TapIsBuiltFromTheTreesAndUpdatedInPlace) {
  TempTrace trace;
  Child child(sim(kTable, {"--exclude-pid", "100", "--seconds", "0.8"}, trace.path));
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  const Lines lines = trace.lines();
  const auto has = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line) > 0; };
  // 101 and 102 are audio clients at start; 103 joins at 500 ms.
  EXPECT_TRUE(has("CATapDescription initMonoGlobalTapButExcludeProcesses [65637,65638]"));
  EXPECT_TRUE(has("AudioObjectSetPropertyData 91 tdsc exclude [65637,65638,65639]"));
  EXPECT_TRUE(has("AudioObjectAddPropertyListenerBlock 1 prs#"));
  EXPECT_FALSE(has("AudioObjectSetPropertyData 91 tdsc exclude [65637,65638]")) << "an update that changes nothing";
}

// Whether Core Audio takes a mixdown of no process is unknown: the include
// list always holds audiotap's own process object (it plays nothing), also
// while nothing included has one, or once the included players have ended.
TEST(Filter, IncludeListIsNeverEmpty) {
  const std::string self = "75535";  // the simulator's object for audiotap, 0x10000 + 9999
  for (const auto& [pid, script] : std::vector<std::pair<std::string, std::string>>{
           {"400", ""}, {"300", ";procs=300:1,301:300:500:0:300"}}) {
    TempTrace trace;
    Child child(sim(kTable + script, {"--include-pid", pid, "--seconds", "0.6"}, trace.path));
    ASSERT_EQ(child.finish(), 0) << child.stderrText();
    std::size_t descriptions = 0;
    for (const std::string& line : trace.lines()) {
      const bool include = line.find("initMonoMixdownOfProcesses") != std::string::npos ||
                           line.find(" tdsc include ") != std::string::npos;
      if (!include) continue;
      ++descriptions;
      EXPECT_NE(line.find(self), std::string::npos) << line;
    }
    EXPECT_GE(descriptions, pid == "300" ? 2u : 1u) << "--include-pid " << pid;
  }
}

struct Refusal {
  std::string name;
  Lines args;
  std::string message;
  std::string script = "";
  json status = nullptr;  // with "status" and "code"
  bool tapAttempted = false;
};

class FilterRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(FilterRefusalTest, EndsStartUpWithOneErrorAndNoAudio) {
  const Refusal& c = GetParam();
  TempTrace trace;
  Child child(sim(kTable + c.script, c.args, trace.path));
  ASSERT_EQ(child.finish(), 1) << child.stderrText();
  EXPECT_TRUE(child.pcm().empty());
  ASSERT_EQ(child.events().size(), 1u) << child.stderrText();
  json expected = {{"type", "error"}, {"message", c.message}};
  if (!c.status.is_null()) expected.update(c.status);
  EXPECT_EQ(child.events()[0].json, expected);
  const Lines lines = trace.lines();
  const bool tapMade = std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.rfind("AudioHardwareCreateProcessTap", 0) == 0;
  });
  EXPECT_EQ(tapMade, c.tapAttempted);
}

const std::string kNotPid = "not a positive decimal process ID", kNoProcess = "no such process",
                  kNotInspectable = "the process exists but cannot be inspected";

std::string refused(const std::string& option, const std::string& value,
                    const std::string& reason = kNotPid) {
  return "invalid " + option + " value \"" + value + "\": " + reason;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Process, FilterRefusalTest, testing::Values(
    Refusal{"Letters", {"--include-pid", "abc"}, refused("--include-pid", "abc")},
    Refusal{"Zero", {"--exclude-pid", "0"}, refused("--exclude-pid", "0")},
    Refusal{"Signed", {"--include-pid", "+100"}, refused("--include-pid", "+100")},
    Refusal{"Negative", {"--exclude-pid", "-100"}, refused("--exclude-pid", "-100")},
    Refusal{"Spaced", {"--include-pid", " 100"}, refused("--include-pid", " 100")},
    Refusal{"Hex", {"--include-pid", "0x64"}, refused("--include-pid", "0x64")},
    Refusal{"TooLarge", {"--include-pid", "4294967396"}, refused("--include-pid", "4294967396")},
    Refusal{"LastWithoutValue", {"--exclude-pid", "100", "--exclude-pid"}, refused("--exclude-pid", "")},
    Refusal{"NoSuchProcess", {"--exclude-pid", "99999"}, refused("--exclude-pid", "99999", kNoProcess)},
    Refusal{"NotStartedYet", {"--include-pid", "103"}, refused("--include-pid", "103", kNoProcess)},
    // Another user's process, whose parent cannot be read: it would look ended
    // on the first pass.
    Refusal{"NotInspectable", {"--exclude-pid", "100", "--include-pid", "200"},
            refused("--include-pid", "200", kNotInspectable), ";hidden=200"},
    Refusal{"IncludeCheckedFirst", {"--exclude-pid", "x", "--include-pid", "7"},
            refused("--include-pid", "7", kNoProcess)},
    Refusal{"ClientsUnlisted", {"--include-pid", "100"}, "could not read the list of audio processes", ";prs='nope'",
            {{"status", 1852797029}, {"code", "nope"}}},
    Refusal{"NoMixdown", {"--include-pid", "100"},
            "AudioHardwareCreateProcessTap failed \xE2\x80\x94 this usually means audio-capture permission has not "
            "been granted to the host app.", ";mixdown=none", {{"status", 0}, {"code", "0"}}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// An update the platform refuses is reported once, and the capture goes on.
TEST(Filter, RefusedUpdateIsReportedOnceAndCaptureGoesOn) {
  TempTrace trace;
  Child child(sim(kTable + ";tdsc='nope'", {"--exclude-pid", "100", "--seconds", "0.8"}, trace.path));
  ASSERT_EQ(child.finish(), 0) << child.stderrText();
  const auto errors = child.eventsOfType("error");
  ASSERT_EQ(errors.size(), 1u) << child.stderrText();
  EXPECT_EQ(errors[0].json, json({{"type", "error"},
                                  {"message", "could not update the process filter"},
                                  {"status", 1852797029},
                                  {"code", "nope"}}));
  expectOrderlyEnd(child);
  EXPECT_NEAR(amplitude(child.pcm(), 0.1, 0.35, 1000), 0, 0.001);
}

}  // namespace
}  // namespace audiotap::test
