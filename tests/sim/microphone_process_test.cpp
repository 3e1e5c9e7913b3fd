// audiotap-sim with --mic, driven as a host drives it: the system audio and
// the microphone as two interleaved channels of one stream, taken from one
// buffer list per IO call, and what a host sees when there is no microphone,
// when it is lost, and when it delivers only zeros.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim.h"

namespace audiotap::test {
namespace {

using nlohmann::json;

const std::string kNoMicrophone = "there is no microphone to capture: the system has no default input device";
const std::string kMicrophoneLost = "the microphone was lost: its channel carries silence from now on";
const std::string kSilentMicrophone =
    "the microphone delivers only silence: it is muted, or the host app has not been granted microphone "
    "access";
const std::string kGone = "The sound server went away: connection refused";
const Lines kMic = {"--mic", "--no-echo-cancel"};
// 16 kHz in and out, nothing to resample: the tap's full-scale 4 kHz tone
// gives 0, 32767, 0, -32768 on channel 0 and the microphone's half-scale one
// 0, 16384, 0, -16384 on channel 1. Buffers of 162 frames show that each
// phase runs on from one buffer to the next.
const std::string kExact =
    "format=16000,1,2,int16;tone=4000;amp=1;frames=162;mic.tone=4000;mic.amp=0.5;mic.format=48000,1";
constexpr std::int16_t kSystem[] = {0, 32767, 0, -32768};
constexpr std::int16_t kMicrophone[] = {0, 16384, 0, -16384};

// Channel `channel` of the interleaved pair.
std::vector<std::int16_t> channelOf(const std::string& pcm, int channel) {
  std::vector<std::int16_t> samples;
  for (std::size_t at = 2 * std::size_t(channel); at + 1 < pcm.size(); at += 4) {
    samples.push_back(std::int16_t(std::uint8_t(pcm[at]) | std::uint8_t(pcm[at + 1]) << 8));
  }
  return samples;
}

// The index of the first sample before `until` that is not `pattern`
// repeated; `until` (at most the size) when there is none.
std::size_t firstOff(const std::vector<std::int16_t>& samples, const std::int16_t (&pattern)[4],
                     std::size_t until = SIZE_MAX) {
  until = std::min(until, samples.size());
  for (std::size_t i = 0; i < until; ++i) {
    if (samples[i] != pattern[i % 4]) return i;
  }
  return until;
}

std::size_t firstNonZero(const std::vector<std::int16_t>& samples, std::size_t from) {
  for (std::size_t i = from; i < samples.size(); ++i) {
    if (samples[i] != 0) return i;
  }
  return samples.size();
}

// Where `pattern` breaks off for a stretch of exact zeros and then starts
// again from its first phase to the end: the start and length of that
// stretch ({size, 0} when it never breaks off), or nothing for any other
// shape.
std::optional<std::pair<std::size_t, std::size_t>> oneGap(const std::vector<std::int16_t>& samples,
                                                          const std::int16_t (&pattern)[4]) {
  const std::size_t off = firstOff(samples, pattern);
  if (off == samples.size()) return std::pair{off, std::size_t(0)};
  // The pattern's first phase is 0 too: the stretch starts at the last
  // whole period and the tone again one sample before its first non-zero.
  const std::size_t from = off / 4 * 4, resumed = firstNonZero(samples, off);
  if (resumed == samples.size() || resumed < from + 1) return std::nullopt;
  const std::vector<std::int16_t> rest(samples.begin() + std::ptrdiff_t(resumed - 1), samples.end());
  if (firstOff(rest, pattern) != rest.size()) return std::nullopt;
  return std::pair{from, resumed - 1 - from};
}

std::vector<json> errors(const Child& child) {
  std::vector<json> messages;
  for (const auto& event : child.eventsOfType("error")) messages.push_back(event.json.value("message", ""));
  return messages;
}

TEST(Microphone, NoneEndsStartUpWithOneErrorAndNothingMade) {
  for (const std::string script : {"mic=none", "mic='nope'"}) {
    SCOPED_TRACE(script);
    Sim sim(script, kMic);
    ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
    EXPECT_TRUE(sim.pcm().empty());
    ASSERT_EQ(sim.events().size(), 1u) << sim.stderrText();
    EXPECT_EQ(sim.events()[0].json, json({{"type", "error"}, {"message", kNoMicrophone}}));
    EXPECT_EQ(graphCalls(sim.trace()), Lines{});
  }
}

// One IO call carries the output device's own input stream, the
// microphone's and the tap's; each channel gets its own, frame for frame,
// until the device is lost after five buffers.
TEST(Microphone, BothStreamsOfOneBufferListBecomeTheTwoChannels) {
  Sim sim("pace=fast;streams=2;" + kExact + ";lose=5:" + kGone, kMic);
  ASSERT_EQ(sim.finish(), 1) << sim.stderrText();
  EXPECT_EQ(errors(sim), std::vector<json>{kGone});
  ASSERT_EQ(sim.pcm().size(), 5u * 162 * 4);
  const auto system = channelOf(sim.pcm(), 0), microphone = channelOf(sim.pcm(), 1);
  EXPECT_EQ(firstOff(system, kSystem), system.size());
  EXPECT_EQ(firstOff(microphone, kMicrophone), microphone.size());
  const auto ready = sim.eventsOfType("ready");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].json.value("inputDeviceUID", ""), "SimMicrophone");
  // The output device is listed as the clock, the microphone drift
  // compensated to it.
  json description;
  for (const auto& line : sim.trace()) {
    const std::string prefix = "AudioHardwareCreateAggregateDevice ";
    if (line.rfind(prefix, 0) == 0) description = json::parse(line.substr(prefix.size()));
  }
  EXPECT_EQ(description.value("master", ""), "SimOutputDevice");
  EXPECT_EQ(description["subdevices"],
            json::array({{{"uid", "SimOutputDevice"}}, {{"uid", "SimMicrophone"}, {"drift", true}}}));
}

// Paced in real time, so the run ends by --seconds: the microphone goes after
// 20 buffers of 10 ms, or delivers only exact zeros from the start.
TEST(Microphone, LostOrSilentItsChannelIsSilenceAndTheSystemGoesOn) {
  const struct {
    const char* name;
    std::string script;
    const char* seconds;
    std::size_t heard;  // frames of the microphone before silence
    std::vector<json> errors;
  } cases[] = {
      {"lost", "frames=160;mic.lose=20", "1", 20 * 160, {kMicrophoneLost}},
      {"denied", "frames=160;mic=denied", "3.6", 0, {kSilentMicrophone}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sim sim(kExact + ";" + c.script, {"--mic", "--no-echo-cancel", "--seconds", c.seconds});
    ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
    EXPECT_EQ(errors(sim), c.errors) << sim.stderrText();
    const auto system = channelOf(sim.pcm(), 0), microphone = channelOf(sim.pcm(), 1);
    ASSERT_GT(system.size(), c.heard + 16000 / 2);
    EXPECT_EQ(firstOff(system, kSystem), system.size());
    EXPECT_EQ(firstOff(microphone, kMicrophone, c.heard), c.heard);
    EXPECT_EQ(firstNonZero(microphone, c.heard), microphone.size());
    ASSERT_EQ(sim.events().back().type(), "stopped");
  }
}

// A move rebuilds the aggregate device, on the new output with the
// microphone in it again, or on the same output with the new default input.
// The time the move took is silence on both channels, and each build's tones
// start at its first buffer.
TEST(Microphone, AMoveTakesTheMicrophoneAlongOrTakesUpTheNewDefaultInput) {
  const struct {
    const char* name;
    std::string script;
    Lines options;
    json device;        // the one "device" event, or null for none
    std::string input;  // the microphone in the last aggregate device
  } cases[] = {
      {"output",
       "switch=20:Elsewhere",
       {"--follow-output"},
       {{"outputDeviceUID", "Elsewhere"}, {"inputDeviceUID", "SimMicrophone"}},
       "SimMicrophone"},
      {"input",
       "mic.switch=20:Headset",
       {"--follow-output"},
       {{"outputDeviceUID", "SimOutputDevice"}, {"inputDeviceUID", "Headset"}},
       "Headset"},
      {"input, not followed", "mic.switch=20:Headset", {}, nullptr, "SimMicrophone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines options = {"--mic", "--no-echo-cancel", "--seconds", "1"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    Sim sim(kExact + ";frames=160;" + c.script, options);
    ASSERT_EQ(sim.finish(), 0) << sim.stderrText();
    EXPECT_EQ(errors(sim), std::vector<json>{});
    const auto devices = sim.eventsOfType("device");
    ASSERT_EQ(devices.size(), c.device.is_null() ? 0u : 1u) << sim.stderrText();
    if (!c.device.is_null()) {
      json device = devices[0].json, want = c.device;
      device.erase("tapFormat");
      want["type"] = "device";
      EXPECT_EQ(device, want);
    }
    const auto system = channelOf(sim.pcm(), 0), microphone = channelOf(sim.pcm(), 1);
    ASSERT_GT(system.size(), 20u * 160 + 16000 / 2);
    const auto gap = oneGap(system, kSystem);
    ASSERT_TRUE(gap.has_value()) << "the system channel breaks off at " << firstOff(system, kSystem);
    EXPECT_EQ(oneGap(microphone, kMicrophone), gap);
    EXPECT_GE(gap->first, 20u * 160);
    const Lines trace = sim.trace();
    EXPECT_EQ(countOf(graphCalls(trace), "AudioHardwareCreateAggregateDevice"), c.device.is_null() ? 1 : 2);
    const auto last = std::find_if(trace.rbegin(), trace.rend(), [](const std::string& line) {
      return line.starts_with("AudioHardwareCreateAggregateDevice");
    });
    ASSERT_NE(last, trace.rend());
    EXPECT_NE(last->find("\"" + c.input + "\""), std::string::npos) << *last;
  }
}

}  // namespace
}  // namespace audiotap::test
