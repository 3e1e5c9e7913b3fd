#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "realtime/echo_stage.h"

namespace audiotap::realtime {
namespace {

// A canceller that only lags the microphone by `delay` samples, and records
// where, in its own input streams, it first saw a loud sample in each.
struct Seen {
  long reference = -1;
  long microphone = -1;
};

class LaggingCanceller final : public EchoCanceller {
 public:
  LaggingCanceller(std::size_t frame, std::size_t delay, Seen* seen) : frame_(frame), line_(delay, 0), seen_(seen) {}
  std::size_t frameSamples() const override { return frame_; }
  void analyzeReference(const std::int16_t* frame) noexcept override {
    mark(frame, seen_->reference, references_);
  }
  bool processMicrophone(std::int16_t* frame) noexcept override {
    mark(frame, seen_->microphone, microphones_);
    // The reference for a microphone frame always comes first.
    if (references_ != microphones_) return false;
    for (std::size_t i = 0; i < frame_ && !line_.empty(); ++i) {
      const std::int16_t out = line_[at_];
      line_[at_] = frame[i];
      frame[i] = out;
      at_ = (at_ + 1) % line_.size();
    }
    return true;
  }
  std::size_t delaySamples() const override { return line_.size(); }

 private:
  void mark(const std::int16_t* frame, long& seen, long& frames) {
    for (std::size_t i = 0; i < frame_ && seen < 0; ++i) {
      if (std::abs(frame[i]) > 1000) seen = frames * static_cast<long>(frame_) + static_cast<long>(i);
    }
    ++frames;
  }
  std::size_t frame_;
  std::vector<std::int16_t> line_;
  std::size_t at_ = 0;
  Seen* seen_;
  long references_ = 0;
  long microphones_ = 0;
};

// Runs `in` through the stage in chunks of `chunk` frames, then flushes.
std::vector<std::int16_t> run(EchoStage& stage, const std::vector<std::int16_t>& in, std::size_t chunk) {
  std::vector<std::int16_t> out;
  std::size_t framesIn = 0;
  for (std::size_t at = 0; at < in.size() / 2; at += chunk) {
    const std::size_t count = std::min(chunk, in.size() / 2 - at);
    const auto got = stage.process(in.data() + 2 * at, count);
    out.insert(out.end(), got.begin(), got.end());
    framesIn += count;
    EXPECT_EQ(framesIn, out.size() / 2 + stage.pendingFrames());
  }
  const auto rest = stage.flush();
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out.size(), in.size());
  return out;
}

std::size_t loudest(const std::vector<std::int16_t>& frames, std::size_t channel) {
  std::size_t at = 0;
  for (std::size_t i = channel; i < frames.size(); i += 2) {
    if (std::abs(frames[i]) > std::abs(frames[2 * at + channel])) at = i / 2;
  }
  return at;
}

TEST(EchoStage, AClickInBothChannelsComesOutOnOneFrameAfterTheReference) {
  const struct {
    double rate;
    std::size_t lag;  // of the lagging canceller; real: WebRTC's at that rate
    bool real;
    std::size_t chunk;
  } cases[] = {
      {16000, 0, false, 160}, {16000, 37, false, 997}, {48000, 500, false, 1},
      {8000, 0, true, 333},   {16000, 0, true, 160},   {32000, 0, true, 4096}, {48000, 0, true, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, lag " << c.lag << (c.real ? ", real" : ", lagging"));
    if (c.real && !echoCancellerBuilt()) continue;
    Seen seen;
    std::unique_ptr<EchoCanceller> canceller =
        c.real ? makeEchoCanceller(c.rate)
               : std::make_unique<LaggingCanceller>(static_cast<std::size_t>(c.rate / 100), c.lag, &seen);
    ASSERT_NE(canceller, nullptr);
    EchoStage stage(std::move(canceller));
    const std::size_t click = static_cast<std::size_t>(c.rate * 0.3) + 7;
    std::vector<std::int16_t> in(2 * static_cast<std::size_t>(c.rate), 0);
    in[2 * click] = in[2 * click + 1] = 20000;
    const auto out = run(stage, in, c.chunk);
    EXPECT_EQ(loudest(out, 0), loudest(out, 1));
    EXPECT_EQ(loudest(out, 0), click + stage.latencyFrames());
    if (!c.real) {
      EXPECT_EQ(seen.reference, static_cast<long>(click));
      EXPECT_EQ(seen.microphone, static_cast<long>(click + EchoStage::kHoldBackMs * static_cast<std::size_t>(c.rate) / 1000));
      EXPECT_FALSE(stage.takeFailed());
    }
  }
}

TEST(EchoStage, WithoutACancellerFramesPassUnchangedAndUndelayed) {
  for (const std::size_t chunk : {1u, 160u, 1000u, 8192u}) {
    EchoStage stage(nullptr);
    std::vector<std::int16_t> in(2 * 20000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::int16_t>(i * 7919);
    EXPECT_EQ(run(stage, in, chunk), in);
    EXPECT_EQ(stage.latencyFrames(), 0u);
  }
}

// A signal figure, not a timing one: white noise played, heard back 6 dB
// down after a delay, the echo left on the microphone channel over the last
// 5 of 20 s.
TEST(EchoStage, ReducesASyntheticEchoByTwentyDecibels) {
  if (!echoCancellerBuilt()) GTEST_SKIP() << "this build has no echo canceller";
  const double rate = 16000;
  for (const double delayMs : {0.0, 40.0, 80.0}) {
    SCOPED_TRACE(testing::Message() << "echo after " << delayMs << " ms");
    const std::size_t frames = static_cast<std::size_t>(20 * rate);
    const std::size_t delay = static_cast<std::size_t>(delayMs * rate / 1000);
    std::vector<std::int16_t> in(2 * frames, 0);
    std::uint32_t seed = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
      seed = seed * 1664525u + 1013904223u;
      in[2 * i] = static_cast<std::int16_t>(static_cast<std::int32_t>(seed >> 16) - 32768) / 4;
      if (i >= delay) in[2 * i + 1] = static_cast<std::int16_t>(in[2 * (i - delay)] / 2);
    }
    EchoStage stage(makeEchoCanceller(rate));
    const auto out = run(stage, in, 1024);
    double echo = 0, left = 0;
    for (std::size_t i = frames - static_cast<std::size_t>(5 * rate); i < frames; ++i) {
      echo += double(in[2 * i + 1]) * in[2 * i + 1];
      left += double(out[2 * i + 1]) * out[2 * i + 1];
    }
    EXPECT_GE(10 * std::log10(echo / std::max(left, 1.0)), 20.0);
  }
}

}  // namespace
}  // namespace audiotap::realtime
