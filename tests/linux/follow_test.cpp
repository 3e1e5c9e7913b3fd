// Following the default sink: the backend's watch and rebuild, and the product
// binary with and without --follow-output, against a second null sink at
// another rate loaded on the private server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/linux/pulse_source.h"
#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"

namespace audiotap::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kSecondSink = "audiotap_follow";

// pactl's standard output, trimmed; nothing when it failed.
std::optional<std::string> pactl(const std::string& arguments) {
  std::string out;
  FILE* pipe = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  if (pipe == nullptr || pclose(pipe) != 0) return std::nullopt;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool setDefaultSink(const std::string& sink) { return pactl("set-default-sink " + sink).has_value(); }

// A second null sink at 24 kHz beside the server's own, with a silent 24 kHz
// stream of its own: a sink in use keeps its rate when a stream at another
// rate moves in (the server's keeper follows the default sink), and renders
// in small blocks. The server's own sink is the default again afterwards.
class FollowTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!server_) GTEST_SKIP() << kNoServerReason;
    module_ = pactl(std::string("load-module module-null-sink sink_name=") + kSecondSink +
                    " rate=24000 channels=2 format=s16le")
                  .value_or("");
    ASSERT_FALSE(module_.empty()) << "could not load a second null sink";
    keeper_ = std::make_unique<Child>(
        Launch{"/usr/bin/pacat",
               {"--playback", std::string("--device=") + kSecondSink, "--format=s16le", "--rate=24000",
                "--channels=2", "--latency-msec=10", "--stream-name=follow-keeper"},
               {},
               "/dev/zero"});
    // Either server: "<index>\t<name>\t<driver>\t<format> 2ch 24000Hz\tRUNNING".
    const auto running = [] {
      const std::string sinks = pactl("list short sinks").value_or("");
      const std::size_t at = sinks.find(std::string("\t") + kSecondSink + "\t");
      const std::string line = at == std::string::npos ? "" : sinks.substr(at, sinks.find('\n', at) - at);
      return line.find(" 24000Hz\tRUNNING") != std::string::npos;
    };
    for (auto until = Clock::now() + 5s; !running() && Clock::now() < until;)
      std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(running()) << pactl("list short sinks").value_or("");
  }
  void TearDown() override {
    if (!server_) return;
    setDefaultSink(server_->sink);
    keeper_.reset();
    if (!module_.empty()) pactl("unload-module " + module_);
  }

  const std::optional<PrivateServer> server_ = givenServer();
  std::string module_;
  std::unique_ptr<Child> keeper_;
};

// The source alone, as the core drives it: a change of the default sink is
// reported only when following, the default can be read while the capture
// runs, and the source opens again on the new sink, at its rate.
TEST_F(FollowTest, SourceReportsTheNewDefaultSinkOnlyWhenFollowingAndOpensOnIt) {
  using namespace platform;
  auto dispatch = posix::makePosixDispatch();
  auto io = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  const auto waitFor = [](const std::function<bool()>& done) {
    for (auto until = Clock::now() + 5s; !done() && Clock::now() < until;) std::this_thread::sleep_for(10ms);
    return done();
  };
  const struct {
    std::string sink;
    double rate;
    bool follow;
    std::string next;
  } builds[] = {{server_->sink, 48000, true, kSecondSink}, {kSecondSink, 24000, false, server_->sink}};
  linux::PulseSource source(*dispatch);
  for (const auto& build : builds) {
    SCOPED_TRACE(build.sink);
    ASSERT_EQ(source.defaultOutputUID(), build.sink);
    std::atomic<int> changes{0}, others{0};
    ASSERT_FALSE(source.open({nullptr, build.follow}, [&](const SourceReport& report) {
      ++(report.kind == SourceReport::Kind::DefaultOutputChanged ? changes : others);
    }));
    EXPECT_EQ(source.deviceUID(), build.sink);
    EXPECT_EQ(source.format().mSampleRate, build.rate);
    std::atomic<std::size_t> bytes{0};
    ASSERT_FALSE(
        source.attach(*io, [&](const AudioBufferList* list, const AudioBufferList*) { bytes += list->mBuffers[0].mDataByteSize; }));
    ASSERT_FALSE(source.start());
    EXPECT_TRUE(waitFor([&] { return bytes > 0; }));

    ASSERT_TRUE(setDefaultSink(build.next));
    if (build.follow) {
      EXPECT_TRUE(waitFor([&] { return changes > 0; }));
    } else {
      std::this_thread::sleep_for(500ms);
      EXPECT_EQ(changes, 0) << "reported without following";
    }
    EXPECT_EQ(source.defaultOutputUID(), build.next) << "read while capturing";
    source.close(Clock::now() + 2s);
    EXPECT_EQ(others, 0);
  }
}

// The product binary, as a host runs it: with --follow-output a new default
// sink at another rate moves the capture there, with one "device" event, and
// a tone played there arrives at its frequency and level while the frame
// count keeps to the time captured; without it nothing moves.
TEST_F(FollowTest, TheCaptureMovesToTheNewDefaultSinkOnlyWithTheOption) {
  for (const bool follow : {true, false}) {
    SCOPED_TRACE(follow ? "--follow-output" : "without the option");
    ASSERT_TRUE(setDefaultSink(server_->sink));
    const int before = sourceOutputs();
    std::vector<std::string> args = {"--rate", "16000"};
    if (follow) args.push_back("--follow-output");
    Child run({AUDIOTAP_BINARY, args, {}});
    ASSERT_TRUE(run.waitForEvent("ready")) << run.stderrText();
    const auto readyAt = Clock::now();
    EXPECT_EQ(run.events()[0].json.value("outputDeviceUID", ""), server_->sink);
    ASSERT_TRUE(run.waitForBytes(3200)) << run.stderrText();
    ASSERT_TRUE(setDefaultSink(kSecondSink));
    if (follow) {
      ASSERT_TRUE(run.waitForEvent("device", 5000ms)) << run.stderrText();
      EXPECT_EQ(run.eventsOfType("device")[0].json,
                json({{"type", "device"},
                      {"outputDeviceUID", kSecondSink},
                      {"tapFormat", {{"sampleRate", 24000.0}, {"channels", 1}}}}));
    } else {
      EXPECT_FALSE(run.waitForEvent("device", 1000ms));
    }
    // Both sinks get a tone; only the one captured may arrive.
    const std::string captured = follow ? kSecondSink : server_->sink;
    const std::string other = follow ? server_->sink : kSecondSink;
    ASSERT_TRUE(play(other, {{0.5, 440, 0.5, 0.5}}, &run));
    ASSERT_TRUE(play(captured, {{1.0, 997, 0.6, 0.4}}, &run));
    run.closeStdin();
    ASSERT_EQ(run.finish(), 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - readyAt).count();
    expectOrderlyEnd(run);
    EXPECT_EQ(run.count("device"), follow ? 1u : 0u) << run.stderrText();
    EXPECT_EQ(run.count("error"), 0u) << run.stderrText();
    EXPECT_EQ(sourceOutputs(before), before) << "a capture stream outlived the process";

    const std::vector<double> pcm = fromS16(run.pcm());
    const Tone tone = measureTone(pcm, 16000);
    EXPECT_NEAR(tone.frequency, 997, 2);
    EXPECT_NEAR(tone.amplitude, 0.5, 0.03);
    EXPECT_GT(double(tone.samples), 0.8 * 16000);
    EXPECT_LT(double(tone.samples), 1.2 * 16000) << "the other sink's tone arrived too";
    // The move's gap is filled: the output spans the time captured.
    EXPECT_NEAR(double(pcm.size()) / 16000, seconds, 0.3) << run.stderrText();
  }
}

}  // namespace
}  // namespace audiotap::test
