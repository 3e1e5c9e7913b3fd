// audiotap-sim through what a desktop does to a capture: the audio system
// restarting, devices dying, the tap changing format, buffers that do not
// fit it, a tap that delivers only silence, and a host that stops reading.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <cstdlib>

#include "sim.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

const std::string kRestarted = "the audio system restarted: the capture's tap and aggregate device are gone";
const std::string kDeviceDead = "the output device \"SimOutputDevice\" is no longer alive";
const std::string kAggregateDead = "the capture's aggregate device is no longer alive";
const std::string kNoConverter = "could not build a converter from the tap format to 16 kHz mono PCM16";
const std::string kUnwrappable =
    "the tap delivered buffers that do not match its stream format: their audio is dropped";
const std::string kDropped = "standard output is not being read: audio is dropped until the host reads again";
const std::string kStalled = "the output device stopped delivering audio";
const std::string kSilent =
    "the tap delivers only silence while audio is playing: the host app has probably not been granted "
    "audio-capture permission";
// 16 kHz int16 in and out, so the written samples are the scripted ones: a
// full-scale 4 kHz tone in buffers of 162 frames.
const std::string kExact = "pace=fast;format=16000,1,2,int16;tone=4000;amp=1;frames=162";
constexpr std::size_t kBufferBytes = 162 * 2;

std::string exactPcm(std::size_t buffers) {
  const std::string period("\x00\x00\xFF\x7F\x00\x00\x00\x80", 8);
  std::string pcm;
  while (pcm.size() < buffers * kBufferBytes) pcm += period;
  return pcm.substr(0, buffers * kBufferBytes);
}

// The events but "ready" and "level".
std::vector<json> outcome(const Child& child) {
  std::vector<json> events;
  for (const auto& event : child.events()) {
    if (event.type() != "ready" && event.type() != "level") events.push_back(event.json);
  }
  return events;
}

json error(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

std::vector<json> endedBy(const std::vector<std::string>& errors, const Child& child) {
  std::vector<json> expected;
  for (const auto& message : errors) expected.push_back(error(message));
  const auto stopped = child.eventsOfType("stopped");
  expected.push_back(stopped.empty() ? json() : stopped[0].json);
  return expected;
}

std::ptrdiff_t indexOf(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) - lines.begin();
}

// ---------------------------------------------------------------------------
// The audio system's notifications: a restart or a dead device ends the
// capture with one "error", the orderly stop and exit 1; a notification whose
// value reads back alive, or a platform that cannot notify, changes nothing.
// A device that no longer answers is dead, and one that stops delivering
// without a word is taken for dead 2 s later.

struct Notification {
  std::string name, script;
  std::string error;  // empty: the capture runs on until its input ends
  std::size_t buffers;
  std::string readBack = {};  // the 'livn' read the notification must cause
  bool watched = true;
};

class NotificationTest : public testing::TestWithParam<Notification> {};

TEST_P(NotificationTest, EndsTheCaptureOnlyForARealLoss) {
  const Notification& c = GetParam();
  Sim sim(kExact + ";" + c.script);
  if (c.error.empty()) {
    ASSERT_TRUE(sim.waitForBytes(c.buffers * kBufferBytes)) << sim.stderrText();
    if (!c.readBack.empty()) {
      ASSERT_TRUE(sim.pumpUntil([&] { return countOf(sim.trace(), c.readBack) == 1; })) << sim.stderrText();
    }
    sim.closeStdin();
  }
  ASSERT_EQ(sim.finish(), c.error.empty() ? 0 : 1) << sim.stderrText();
  EXPECT_EQ(sim.count("ready"), 1u);
  EXPECT_EQ(outcome(sim), endedBy(c.error.empty() ? Lines{} : Lines{c.error}, sim));
  expectOrderlyEnd(sim);
  EXPECT_EQ(sim.pcm(), exactPcm(c.buffers));

  const Lines trace = sim.trace();
  if (!c.readBack.empty()) {
    EXPECT_EQ(countOf(trace, c.readBack), 1) << c.readBack;
  }
  const std::ptrdiff_t stop = indexOf(trace, "AudioDeviceStop 92 proc");
  ASSERT_LT(stop, std::ptrdiff_t(trace.size()));
  for (const std::string watched : {"1 srst", "92 livn", "73 livn", "91 tfmt"}) {
    EXPECT_LT(indexOf(trace, "AudioObjectAddPropertyListenerBlock " + watched), indexOf(trace, "AudioDeviceStart 92 proc"));
    const std::ptrdiff_t removed = indexOf(trace, "AudioObjectRemovePropertyListenerBlock " + watched);
    if (c.watched) {
      EXPECT_LT(removed, stop) << watched << " is removed in the teardown, first";
    } else {
      EXPECT_EQ(removed, std::ptrdiff_t(trace.size())) << watched << " was never added";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Process, NotificationTest,
    testing::Values(Notification{"ServiceRestarts", "restart=5", kRestarted, 5},
                    Notification{"OutputDeviceDies", "die=5:device", kDeviceDead, 5,
                                 "AudioObjectGetPropertyData 73 livn glob 0 4"},
                    Notification{"AggregateDeviceDies", "die=5:aggregate", kAggregateDead, 5,
                                 "AudioObjectGetPropertyData 92 livn glob 0 4"},
                    Notification{"DeadDeviceNoLongerAnswers", "die=5:device:'!obj'", kDeviceDead, 5,
                                 "AudioObjectGetPropertyData 73 livn glob 0 4"},
                    Notification{"DeviceStopsDeliveringSilently", "stall=5", kStalled, 5},
                    Notification{"AliveNotificationThatReadsBackAlive", "blip=5;count=10", "", 10,
                                 "AudioObjectGetPropertyData 73 livn glob 0 4"},
                    Notification{"PlatformWithoutListeners", "listen='unop';restart=5", "", 5, "", false}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A change of the tap's format: the conversion is rebuilt from the new format,
// so a 1 kHz tone stays 1 kHz at the same output rate, and the frame count
// runs on across the change.

// Crossings of zero per second, at 16 kHz: twice the tone's frequency.
double crossingsPerSecond(const std::string& pcm, std::size_t from, std::size_t to) {
  const auto* samples = reinterpret_cast<const std::int16_t*>(pcm.data());
  int crossings = 0;
  for (std::size_t i = from + 1; i < to; ++i) crossings += (samples[i - 1] < 0) != (samples[i] < 0);
  return crossings * 16000.0 / double(to - from);
}

TEST(TapFormatChange, RebuildsTheConversionSoTheToneKeepsItsPitch) {
  // 100 buffers of 16 kHz mono, passed through as they are, then 100 of
  // 32 kHz stereo, which must be mixed down and halved.
  Sim sim("pace=fast;format=16000,1,2,int16;tone=1000;amp=0.5;frames=160;count=200;"
          "reformat=100:32000,2,4,int16");
  ASSERT_TRUE(sim.waitForBytes(2 * (16000 + 7900))) << sim.stderrText();
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(sim.count("ready"), 1u);
  EXPECT_EQ(outcome(sim), endedBy({}, sim));
  expectOrderlyEnd(sim);
  const std::size_t samples = sim.pcm().size() / 2;
  EXPECT_GE(samples, 16000u + 7900u);
  EXPECT_LE(samples, 16000u + 8000u);
  EXPECT_NEAR(crossingsPerSecond(sim.pcm(), 0, 16000), 2000, 2);
  // Before the change the old conversion would have written 4 samples per
  // frame (a 250 Hz tone); after it, the first samples are the resampler's.
  EXPECT_NEAR(crossingsPerSecond(sim.pcm(), 16100, samples), 2000, 40);
  const Lines trace = sim.trace();
  EXPECT_EQ(countOf(trace, "PropertyChanged 91 tfmt"), 1);
  EXPECT_EQ(countOf(trace, "AudioObjectGetPropertyData 91 tfmt glob 0 40"), 2);
  EXPECT_EQ(countOf(trace, "AVAudioFormat initWithStreamDescription 32000 2 4 12"), 1);
  EXPECT_EQ(countOf(trace, "AVAudioFormat initWithCommonFormat 3 16000 1 1"), 1) << "the output format stays";
  EXPECT_EQ(countOf(trace, "AVAudioConverter initFromFormat"), 2);
}

TEST(TapFormatChange, ToAFormatItCannotConvertEndsTheCapture) {
  Sim sim(kExact + ";reformat=5:0.1,1,2,int16");
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy({kNoConverter}, sim));
  expectOrderlyEnd(sim);
  EXPECT_EQ(sim.pcm(), exactPcm(5));
}

// ---------------------------------------------------------------------------
// Buffer lists that do not fit the tap's format: one "error" for the run, the
// buffers around it written as they are.

TEST(UnwrappableBuffers, AreReportedOncePerRunAndSkipped) {
  Sim sim(kExact + ";mismatch=2:3;count=10");
  ASSERT_TRUE(sim.waitForBytes(7 * kBufferBytes)) << sim.stderrText();
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy({kUnwrappable}, sim));
  expectOrderlyEnd(sim);
  const std::string all = exactPcm(10);
  EXPECT_EQ(sim.pcm(), all.substr(0, 2 * kBufferBytes) + all.substr(5 * kBufferBytes));
}

// ---------------------------------------------------------------------------
// Exact zeros for 3 s while a process the tap hears plays (its 'piro' reads
// 1): one "error", and the capture goes on. A device kept running by a
// process the tap does not hear, or by audiotap itself, says nothing; nor do
// zeros while no tapped process plays, or sound.

struct SilenceCase {
  std::string name, script;
  Lines args;
  bool reported;
};

class SilentTapTest : public testing::TestWithParam<SilenceCase> {};

TEST_P(SilentTapTest, IsReportedOnlyWhileATappedProcessPlays) {
  const SilenceCase& c = GetParam();
  Lines args = c.args;
  args.insert(args.end(), {"--seconds", "4.6"});
  Sim sim(c.script, args);
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy(c.reported ? Lines{kSilent} : Lines{}, sim));
  expectOrderlyEnd(sim);
  EXPECT_GE(sim.count("level"), 3u) << "capture went on";
}

// 500 and 600 are audio clients; amp=0 makes every tone exact zeros.
INSTANTIATE_TEST_SUITE_P(
    Process, SilentTapTest,
    testing::Values(SilenceCase{"ZerosWhileATappedProcessPlays", "amp=0;procs=500:1:440", {}, true},
                    SilenceCase{"ZerosWhileNoTappedProcessPlays", "amp=0;gone=1;procs=500:1:440;piro=", {}, false},
                    SilenceCase{"OnlyAudiotapItselfPlays", "amp=0;gone=1;piro=self", {}, false},
                    SilenceCase{"OnlyTheExcludedProcessPlays", "amp=0;gone=1;procs=500:1:440,600:1:880;piro=600",
                                {"--exclude-pid", "600"}, false},
                    SilenceCase{"TheIncludedProcessIsSilentWhileOthersPlay", "gone=1;procs=500:1,600:1:880",
                                {"--include-pid", "500"}, false},
                    SilenceCase{"SoundWhileATappedProcessPlays", "procs=500:1:440", {}, false}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A host that stops reading standard output: the IO thread never waits on it.

TEST(HostStopsReading, DroppedAudioIsReportedAndNotCounted) {
  Sim sim("pace=fast;count=2000");  // 20 s of audio, far more than the pipe and the ring hold
  ASSERT_TRUE(sim.waitForEvent("ready")) << sim.stderrText();
  sim.readStdout(false);
  ASSERT_TRUE(sim.waitForEvent("error")) << sim.stderrText();
  sim.readStdout(true);
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy({kDropped}, sim));
  expectOrderlyEnd(sim);
  EXPECT_LT(sim.pcm().size(), std::size_t(2 * 320000)) << "something was dropped";
}

TEST(HostStopsReading, StopIsBoundedWithTheWriterStuck) {
  Sim sim("pace=fast");
  ASSERT_TRUE(sim.waitForEvent("ready")) << sim.stderrText();
  sim.readStdout(false);
  ASSERT_TRUE(sim.fillStdout()) << sim.stderrText();
  ASSERT_TRUE(sim.waitUntilArmed()) << sim.stderrText();
  sim.signal(SIGTERM);
  // Without a bound the writer, stuck in its write, would hold the stop for ever.
  ASSERT_TRUE(sim.pumpUntil([&] { return sim.exited(); }, milliseconds(5000))) << sim.stderrText();
  sim.readStdout(true);
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  ASSERT_EQ(sim.count("stopped"), 1u);
  const json stopped = sim.events().back().json;
  ASSERT_EQ(stopped.value("type", ""), "stopped");
  // The write that was stuck is counted though the host never read it all.
  EXPECT_LE(sim.pcm().size(), 2 * stopped["frames"].get<std::size_t>());
  EXPECT_GT(sim.pcm().size(), 0u);
}

// ---------------------------------------------------------------------------
// A host that closes its end of standard output, or hands it a full disk:
// the first failed write ends the capture in order, with one "error", a
// "stopped" that counts only what was written, and exit 1, never death by
// SIGPIPE. One that closes standard error loses only the events.

struct ClosedEnd {
  std::string name, stdoutPath;
  bool closesStdout, closesStderr;
  int status;
  std::string error;  // empty: none seen
};

class HostClosesAnEndTest : public testing::TestWithParam<ClosedEnd> {};

TEST_P(HostClosesAnEndTest, EndsInOrderOrGoesOn) {
  const ClosedEnd& c = GetParam();
  Sim sim("", {}, false, c.stdoutPath);
  ASSERT_TRUE(sim.waitForEvent("ready")) << sim.stderrText();
  if (c.stdoutPath.empty()) {
    ASSERT_TRUE(sim.waitForBytes(3200)) << sim.stderrText();
  }
  if (c.closesStdout) sim.closeStdout();
  if (c.closesStderr) {
    sim.closeStderr();
    // Long enough for "level" events to meet the closed pipe.
    ASSERT_TRUE(sim.waitForBytes(sim.pcm().size() + 80000)) << "the capture went on";
    sim.closeStdin();
  }
  ASSERT_EQ(sim.finish(), c.status) << sim.stderrText();
  if (c.closesStderr) return;
  EXPECT_EQ(outcome(sim), endedBy({c.error}, sim));
  expectOrderlyEnd(sim);
  const auto frames = sim.eventsOfType("stopped").at(0).json.value("frames", std::int64_t(-1));
  if (c.stdoutPath.empty()) {
    EXPECT_GE(2 * frames, std::int64_t(sim.pcm().size())) << "what the host read was written";
  } else {
    EXPECT_EQ(frames, 0) << "nothing reached the file";
  }
}

INSTANTIATE_TEST_SUITE_P(Process, HostClosesAnEndTest,
                         testing::Values(ClosedEnd{"ClosedStdout", "", true, false, 1,
                                                   "could not write to standard output: Broken pipe"},
                                         ClosedEnd{
                                             "FullDisk", "/dev/full", false, false, 1,
                                             "could not write to standard output: No space left on device"},
                                         ClosedEnd{"ClosedStderr", "", false, true, 0, ""}),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// A converter that fails on every buffer: one "error" in its own words for
// the run, where each buffer gave one.

TEST(ConverterFailures, AreReportedOncePerRun) {
  const std::string words = "Converter exploded: \xC2\xABparam\xC2\xBB \"-50\"";
  Sim sim("convert=error:" + words, {"--seconds", "2.5"});
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy({words}, sim));
  EXPECT_TRUE(sim.pcm().empty());
}

// ---------------------------------------------------------------------------
// An aggregate device with a microphone's stream in front of the tap's: only
// the tap's is captured, and after a move to a device where it is so.

TEST(OnlyTheTapsStream, IsCapturedBehindAMicrophone) {
  Sim sim(kExact + ";streams=2;count=5");
  ASSERT_TRUE(sim.waitForBytes(5 * kBufferBytes)) << sim.stderrText();
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(outcome(sim), endedBy({}, sim));
  EXPECT_EQ(sim.pcm(), exactPcm(5));
}

TEST(OnlyTheTapsStream, IsCapturedAfterAMove) {
  // The tap's stream is first on one device and third on the next.
  Sim sim(kExact + ";streams=1,3;switch=2:Phones;count=3", {"--follow-output"});
  const std::string after = exactPcm(3);
  ASSERT_TRUE(sim.pumpUntil([&] {
    return sim.pcm().size() >= 5 * kBufferBytes && sim.pcm().substr(sim.pcm().size() - after.size()) == after;
  })) << sim.stderrText();
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  EXPECT_EQ(sim.count("device"), 1u);
  EXPECT_TRUE(sim.eventsOfType("error").empty()) << sim.stderrText();
  EXPECT_EQ(sim.pcm().substr(0, 2 * kBufferBytes), exactPcm(2));
}

}  // namespace
}  // namespace audiotap::test
