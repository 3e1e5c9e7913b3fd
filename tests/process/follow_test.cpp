// --follow-output against the simulator: the scripted default output device
// changes (and dies) while audiotap-sim captures, and the host sees one
// "device" event per move, a continuous timeline and bytes = 2 × frames.
#include "sim.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

// 16 kHz int16 in and out: the written samples are the scripted ones. A 4 kHz
// full-scale tone of 162-frame buffers, from each device's first buffer on.
const std::string kExact = "tone=4000;amp=1;frames=162;format=16000,1,2,int16";
const std::string kNoConverter = "could not build a converter from the tap format to 16 kHz mono PCM16";

// The PCM of `buffers` buffers of the tone, as a device delivers it.
std::string tone(std::size_t buffers) {
  static const std::string kPeriod("\x00\x00\xFF\x7F\x00\x00\x00\x80", 8);
  std::string pcm;
  while (pcm.size() < buffers * 162 * 2) pcm += kPeriod;
  return pcm.substr(0, buffers * 162 * 2);
}

json deviceEvent(const std::string& uid, double rate, int channels) {
  return {{"type", "device"},
          {"outputDeviceUID", uid},
          {"tapFormat", {{"sampleRate", rate}, {"channels", channels}}}};
}

// The capture-graph calls and the watch on the default output device, in
// order (what the delivering thread traces meanwhile is left out: it may come
// before or after the main thread's calls); the aggregate device as its main
// sub-device.
Lines graphOf(const Sim& sim) {
  Lines calls;
  for (const std::string& line : sim.trace()) {
    const std::string name = line.substr(0, line.find(' '));
    if (name == "AudioHardwareCreateAggregateDevice") {
      calls.push_back(name + " " + json::parse(line.substr(name.size() + 1)).value("master", ""));
    } else if (name.rfind("AudioHardware", 0) == 0 || name.rfind("AudioDevice", 0) == 0 ||
               (name.find("Listener") != std::string::npos && line.ends_with(" dOut"))) {
      calls.push_back(name.find("Create") != std::string::npos ? name : line);
    }
  }
  return calls;
}

const Lines kBuild = {"AudioHardwareCreateProcessTap", "AudioHardwareCreateAggregateDevice",
                      "AudioDeviceCreateIOProcIDWithBlock", "AudioDeviceStart 92 proc"};
const Lines kTearDown = {"AudioDeviceStop 92 proc", "AudioDeviceDestroyIOProcID 92 proc",
                         "AudioHardwareDestroyAggregateDevice 92", "AudioHardwareDestroyProcessTap 91"};

// The graph calls of a run on `devices` in turn: the watch on the default
// device is part of each graph, added before it is built and removed first
// in its teardown.
Lines graphOn(const Lines& devices, bool watching) {
  Lines calls;
  for (const std::string& device : devices) {
    if (watching) calls.push_back("AudioObjectAddPropertyListenerBlock 1 dOut");
    Lines build = kBuild;
    build[1] += " " + device;
    calls.insert(calls.end(), build.begin(), build.end());
    if (watching) calls.push_back("AudioObjectRemovePropertyListenerBlock 1 dOut");
    calls.insert(calls.end(), kTearDown.begin(), kTearDown.end());
  }
  return calls;
}

struct Move {
  std::string name, script;
  std::vector<json> devices;         // the "device" events, in order
  std::vector<std::size_t> buffers;  // delivered by each device in turn
  Lines happenings = {};             // traced by the simulator, each once
};

class FollowTest : public testing::TestWithParam<Move> {};

// Each device delivers its buffers whole; between two, silence of the
// measured length of the move, then the next device's tone from its start.
TEST_P(FollowTest, MovesWithOneDeviceEventAndAContinuousTimeline) {
  const Move& c = GetParam();
  Sim sim("pace=fast;count=3;" + kExact + ";" + c.script, {"--follow-output"});
  ASSERT_TRUE(sim.waitForEvent("ready")) << sim.stderrText();
  std::size_t expectedBytes = 0;
  for (std::size_t buffers : c.buffers) expectedBytes += tone(buffers).size();
  ASSERT_TRUE(sim.pumpUntil([&] { return sim.count("device") == c.devices.size(); })) << sim.stderrText();
  ASSERT_TRUE(sim.waitForBytes(expectedBytes)) << sim.stderrText();
  ASSERT_TRUE(sim.waitUntilArmed());
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  expectOrderlyEnd(sim);

  std::vector<json> events;
  for (const auto& event : sim.events()) events.push_back(event.json);
  ASSERT_EQ(events.size(), 2 + c.devices.size()) << sim.stderrText();
  EXPECT_EQ(events[0].value("outputDeviceUID", ""), "SimOutputDevice");
  EXPECT_EQ(std::vector<json>(events.begin() + 1, events.end() - 1), c.devices);

  const std::string& pcm = sim.pcm();
  std::size_t at = 0;
  for (std::size_t i = 0; i < c.buffers.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "device " << i);
    if (i > 0) {
      // The move's silence, as long as the move took (well under a second
      // here), then the tone, whose first sample is 0 too.
      const std::size_t loud = pcm.find_first_not_of('\0', at);
      ASSERT_NE(loud, std::string::npos);
      const std::size_t silence = loud - (loud % 2) - 2 - at;
      ASSERT_LT(silence, 16000u);
      at += silence;
    }
    const std::string expected = tone(c.buffers[i]);
    ASSERT_EQ(pcm.substr(at, expected.size()), expected);
    at += expected.size();
  }
  EXPECT_EQ(at, pcm.size());
  EXPECT_EQ(graphOf(sim), graphOn({"SimOutputDevice", "Phones", "Speakers"}, true));
  const Lines trace = sim.trace();
  EXPECT_EQ(countOf(trace, "PropertyChanged 1 dOut"), 2);
  for (const auto& line : c.happenings) EXPECT_EQ(countOf(trace, line), 1) << line;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Process, FollowTest, testing::Values(
    // A new converter for the new format at each move.
    Move{"DefaultChangesTwice", "switch=2:Phones:16000,1,4,float;switch=1:Speakers:16000,2,4,int16",
         {deviceEvent("Phones", 16000, 1), deviceEvent("Speakers", 16000, 2)}, {2, 1, 3}},
    // Each time the old device also dies (on macOS its 'livn' turns 0; on
    // Linux the server ends the stream): still one move.
    Move{"DeviceDiesWithANewDefault", "switch=4:Phones:dies;switch=2:Speakers:lost=gone: for good",
         {deviceEvent("Phones", 16000, 1), deviceEvent("Speakers", 16000, 1)}, {4, 2, 3},
         {"PropertyChanged 73 livn", "DeviceLost gone: for good"}}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// Without the option the default device's changes go unheeded: the capture
// stays on its device (which, in the simulator, delivers nothing more), and
// its loss ends the capture as before.
TEST(FollowOff, NothingMovesAndALossStillEndsTheCapture) {
  const struct {
    std::string script;
    int exit;
  } cases[] = {{"switch=2:Phones", 0}, {"switch=2:Phones:lost=unplugged", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Sim sim("pace=fast;" + kExact + ";" + c.script, {});
    ASSERT_TRUE(sim.waitForBytes(tone(2).size())) << sim.stderrText();
    if (c.exit == 0) {
      ASSERT_TRUE(sim.waitUntilArmed());
      usleep(300000);  // time enough for a wrong move
      sim.closeStdin();
    }
    ASSERT_EQ(sim.finish(), c.exit) << sim.stderrText();
    expectOrderlyEnd(sim);
    EXPECT_EQ(sim.pcm(), tone(2));
    EXPECT_EQ(sim.count("device"), 0u);
    EXPECT_EQ(sim.count("error"), std::size_t(c.exit)) << sim.stderrText();
    EXPECT_EQ(graphOf(sim), graphOn({"SimOutputDevice"}, false));
  }
}

// A restart of the audio system rebuilds the graph on the default device,
// which goes on delivering.
TEST(FollowRestart, TheAudioSystemRestartsAndTheGraphIsBuiltAgain) {
  Sim sim("pace=fast;count=40;" + kExact + ";restart=5", {"--follow-output"});
  ASSERT_TRUE(sim.waitForEvent("device")) << sim.stderrText();
  ASSERT_TRUE(sim.waitUntilArmed());
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  expectOrderlyEnd(sim);
  EXPECT_EQ(sim.count("error"), 0u) << sim.stderrText();
  EXPECT_EQ(sim.eventsOfType("device")[0].json, deviceEvent("SimOutputDevice", 16000, 1));
  EXPECT_EQ(sim.pcm().substr(0, tone(5).size()), tone(5));
  const Lines graph = graphOf(sim);
  EXPECT_GE(countOf(graph, "AudioHardwareCreateAggregateDevice SimOutputDevice"), 2);
}

// A restart of the audio system drops every listener on the system object:
// each must be added again, or a later change goes unseen (a new default
// device would be noticed only once the old one had been silent for 2 s,
// with an "error"; a new audio client only by the filter's periodic pass).
TEST(FollowRestart, TheSystemIsStillWatchedAfterARestart) {
  const struct {
    std::string script;
    Lines args, devices;
    std::string notified;
  } cases[] = {
      {"switch=10:Phones", {}, {"SimOutputDevice", "Phones"}, "Notified 1 dOut"},
      {"procs=500:1,501:1:1000:400", {"--exclude-pid", "500"}, {"SimOutputDevice"}, "Notified 1 prs#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.notified);
    Lines args = c.args;
    args.push_back("--follow-output");
    Sim sim("tone=4000;amp=1;frames=162;format=16000,1,2,int16;restart=5;" + c.script, args);
    const auto notifiedAfterRestart = [&] {
      const Lines trace = sim.trace();
      const auto restart = std::find(trace.begin(), trace.end(), "PropertyChanged 1 srst");
      return std::find(restart, trace.end(), c.notified) != trace.end();
    };
    ASSERT_TRUE(sim.pumpUntil(notifiedAfterRestart, milliseconds(3000))) << sim.stderrText();
    ASSERT_TRUE(sim.pumpUntil([&] { return sim.count("device") == c.devices.size(); })) << sim.stderrText();
    ASSERT_TRUE(sim.waitUntilArmed());
    sim.closeStdin();
    ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
    expectOrderlyEnd(sim);
    EXPECT_EQ(sim.count("error"), 0u) << sim.stderrText();
    const auto moves = sim.eventsOfType("device");
    for (std::size_t i = 0; i < moves.size() && i < c.devices.size(); ++i) {
      EXPECT_EQ(moves[i].json.value("outputDeviceUID", ""), c.devices[i]);
    }
  }
}

// A device that stops calling the IO block without a word is taken for lost
// after 2 s: one "error", then a move to the default device, and the time it
// was silent becomes silence.
TEST(FollowStall, ASilentDeviceIsReportedAndTheCaptureMoves) {
  Sim sim("pace=fast;" + kExact + ";stall=5;count=8", {"--follow-output"});
  ASSERT_TRUE(sim.waitForEvent("device")) << sim.stderrText();
  const double seconds = std::chrono::duration<double>(Clock::now() - sim.started()).count();
  EXPECT_GE(seconds, 2.0);
  // The silence counts from the last call, less the first new buffer's length.
  const std::size_t least = 64000 - tone(1).size();
  ASSERT_TRUE(sim.waitForBytes(tone(5).size() + least + tone(8).size())) << sim.stderrText();
  ASSERT_TRUE(sim.waitUntilArmed());
  sim.closeStdin();
  ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
  expectOrderlyEnd(sim);
  std::vector<Event> events;
  for (const Event& event : sim.events()) {
    if (event.type() != "level") events.push_back(event);
  }
  ASSERT_EQ(events.size(), 4u) << sim.stderrText();
  EXPECT_EQ(events[1].json, json({{"type", "error"}, {"message", "the output device stopped delivering audio"}}));
  EXPECT_EQ(events[2].json, deviceEvent("SimOutputDevice", 16000, 1));
  const std::string& pcm = sim.pcm();
  ASSERT_EQ(pcm.substr(0, tone(5).size()), tone(5));
  const std::size_t loud = pcm.find_first_not_of('\0', tone(5).size());
  ASSERT_NE(loud, std::string::npos);
  // At least the 2 s the watchdog waited, at most a second more.
  EXPECT_GE(loud - tone(5).size(), least);
  EXPECT_LE(loud - tone(5).size(), 96000u);
  EXPECT_EQ(pcm.substr(pcm.size() - tone(8).size()), tone(8));
}

// A platform that refuses the watch cannot follow: start-up ends before
// anything is built.
TEST(FollowFailure, AWatchThatCannotBeSetUpEndsStartUp) {
  Sim sim("listen='nope'", {"--follow-output"});
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  EXPECT_EQ(sim.pcm(), "");
  ASSERT_EQ(sim.events().size(), 1u) << sim.stderrText();
  EXPECT_EQ(sim.events()[0].json, json({{"type", "error"},
                                        {"message", "AudioObjectAddPropertyListenerBlock failed"},
                                        {"status", 1852797029},
                                        {"code", "nope"}}));
  EXPECT_EQ(graphOf(sim), Lines{"AudioObjectAddPropertyListenerBlock 1 dOut"});
}

// A move that cannot be built on the new device is tried again for about two
// seconds, then ends the capture: its step's "error", "stopped", exit 1, and
// the audio and silence written until then counted.
TEST(FollowFailure, AMoveThatCannotBeBuiltEndsTheCaptureWithItsError) {
  // 16000 / 0.2 is more output frames per input frame than a call can carry.
  Sim sim("pace=fast;" + kExact + ";switch=2:Phones:0.2,1,2,int16", {"--follow-output"});
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  expectOrderlyEnd(sim);
  ASSERT_EQ(sim.events().size(), 3u) << sim.stderrText();
  EXPECT_EQ(sim.events()[1].json, json({{"type", "error"}, {"message", kNoConverter}}));
  const double seconds = std::chrono::duration<double>(Clock::now() - sim.started()).count();
  EXPECT_GE(seconds, 2.0);
  EXPECT_EQ(sim.pcm(), tone(2));
  // Tried again every quarter of a second, each attempt undone whole.
  const Lines graph = graphOf(sim);
  const auto count = [&](const std::string& line) { return countOf(graph, line); };
  EXPECT_GE(count("AudioHardwareCreateAggregateDevice Phones"), 6);
  EXPECT_EQ(count("AudioHardwareCreateProcessTap"), count("AudioHardwareDestroyProcessTap 91"));
  EXPECT_EQ(count("AudioHardwareCreateAggregateDevice Phones") + 1,
            count("AudioHardwareDestroyAggregateDevice 92"));
  EXPECT_EQ(count("AudioObjectAddPropertyListenerBlock 1 dOut"),
            count("AudioObjectRemovePropertyListenerBlock 1 dOut"));
}

}  // namespace
}  // namespace audiotap::test
