#include "platform/sim/tone.h"

#include <gtest/gtest.h>

#include <cstring>

namespace audiotap::sim {
namespace {

TEST(SimTone, ConvertsToInt16AtFullScale32768) {
  const struct {
    double in;
    std::int16_t out;
  } cases[] = {{0, 0},         {1, 32767},       {-1, -32768},      {0.5, 16384},
               {-0.5, -16384}, {1.0 / 32768, 1}, {-1.0 / 32768, -1}};
  for (const auto& c : cases) EXPECT_EQ(toInt16(c.in), c.out) << c.in;
}

TEST(SimTone, SineIsExactAtQuarterRate) {
  const double expected[] = {0, 1, 0, -1};
  for (std::uint64_t index : {0ull, 1ull, 2ull, 3ull, 4000000001ull, 4000000003ull}) {
    EXPECT_NEAR(toneSample(4000, 1, 16000, index), expected[index % 4], 1e-12) << index;
  }
}

struct LayoutCase {
  const char* name;
  ToneFormat format;
  std::uint32_t buffers;
  std::uint32_t bytesPerBuffer;
};

TEST(SimTone, LaysOutBuffersAndContinuesThePhase) {
  const LayoutCase cases[] = {
      {"mono float", {16000, 1, 4, SampleType::Float32, true}, 1, 4 * 6},
      {"stereo interleaved int16", {16000, 2, 4, SampleType::Int16, true}, 1, 2 * 2 * 6},
      {"three planar float", {16000, 3, 4, SampleType::Float32, false}, 3, 4 * 6},
  };
  for (const auto& c : cases) {
    ToneGenerator tone(c.format, 4000, 1, 6);
    std::vector<double> seen;  // channel 0, then the last channel must match it
    for (int call = 0; call < 2; ++call) {
      const auto* list = tone.next();
      ASSERT_EQ(list->mNumberBuffers, c.buffers) << c.name;
      for (std::uint32_t b = 0; b < c.buffers; ++b)
        EXPECT_EQ(list->mBuffers[b].mDataByteSize, c.bytesPerBuffer);
      const std::uint32_t channels = c.format.channels;
      for (std::uint32_t frame = 0; frame < 6; ++frame) {
        double first = 0;
        double last = 0;
        if (c.format.interleaved && c.format.sampleType == SampleType::Int16) {
          const auto* samples = static_cast<const std::int16_t*>(list->mBuffers[0].mData);
          first = samples[frame * channels] / 32768.0;
          last = samples[frame * channels + channels - 1] / 32768.0;
        } else if (c.format.interleaved) {
          const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
          first = samples[frame * channels];
          last = samples[frame * channels + channels - 1];
        } else {
          first = static_cast<const float*>(list->mBuffers[0].mData)[frame];
          last = static_cast<const float*>(list->mBuffers[channels - 1].mData)[frame];
        }
        EXPECT_EQ(first, last) << c.name;
        seen.push_back(first);
      }
    }
    // 12 samples of 0, 1, 0, -1 across two buffers of 6: the phase carries over.
    for (std::size_t i = 0; i < seen.size(); ++i) {
      const double expected[] = {0, 1, 0, -1};
      EXPECT_NEAR(seen[i], expected[i % 4], 1.0 / 32768) << c.name << " sample " << i;
    }
  }
}

}  // namespace
}  // namespace audiotap::sim
