#include "platform/windows/wasapi/samples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/windows/wasapi/mix_fifo.h"

namespace audiotap::platform::windows {
namespace {

struct Conversion {
  std::string name;
  bool isFloat;
  std::uint32_t bits, channels, blockAlign;
  std::vector<std::uint8_t> bytes;
  std::vector<float> expected;
};

void PrintTo(const Conversion& c, std::ostream* out) { *out << c.name; }

std::vector<std::uint8_t> floatBytes(std::vector<float> values) {
  std::vector<std::uint8_t> bytes(values.size() * 4);
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

class MixFormatTest : public ::testing::TestWithParam<Conversion> {};

TEST_P(MixFormatTest, ReadsTheSamplesAsFloat) {
  const Conversion& c = GetParam();
  const std::optional<SampleLayout> layout = sampleLayout(c.isFloat, c.bits, c.channels, c.blockAlign);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->frameBytes, c.blockAlign);
  const std::uint32_t frames = std::uint32_t(c.expected.size() / c.channels);
  std::vector<float> out(c.expected.size() + 1, 7.f);
  toFloat(*layout, reinterpret_cast<const std::byte*>(c.bytes.data()), frames, out.data());
  for (std::size_t i = 0; i < c.expected.size(); ++i)
    EXPECT_FLOAT_EQ(out[i], c.expected[i]) << "sample " << i;
  EXPECT_EQ(out.back(), 7.f) << "wrote past the frames";
}

INSTANTIATE_TEST_SUITE_P(Cases, MixFormatTest,
                         ::testing::Values(Conversion{"Float32Stereo",
                                                      true,
                                                      32,
                                                      2,
                                                      8,
                                                      floatBytes({0.5f, -0.25f, 1.f, -1.f}),
                                                      {0.5f, -0.25f, 1.f, -1.f}},
                                           Conversion{"Int16",
                                                      false,
                                                      16,
                                                      2,
                                                      4,
                                                      {0x00, 0x40, 0x00, 0xC0, 0x00, 0x80, 0xFF, 0x7F},
                                                      {0.5f, -0.5f, -1.f, 32767.f / 32768.f}},
                                           Conversion{"Int24Packed",
                                                      false,
                                                      24,
                                                      1,
                                                      3,
                                                      {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0, 0x01, 0x00, 0x00},
                                                      {0.5f, -0.5f, 1.f / 8388608.f}},
                                           Conversion{"Int24InInt32",
                                                      false,
                                                      32,
                                                      1,
                                                      4,
                                                      {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x80, 0x00,
                                                       0x01, 0x00, 0x00},
                                                      {0.5f, -1.f, 1.f / 8388608.f}}),
                         [](const ::testing::TestParamInfo<Conversion>& info) { return info.param.name; });

struct Refused {
  std::string name;
  bool isFloat;
  std::uint32_t bits, channels, blockAlign;
};

TEST(MixFormat, RefusesWhatItCannotRead) {
  const Refused cases[] = {
      {"unsigned 8-bit", false, 8, 2, 2},
      {"float64", true, 64, 2, 16},
      {"a block that is not the channels' samples", false, 16, 2, 6},
      {"no channels", true, 32, 0, 0},
  };
  for (const Refused& c : cases)
    EXPECT_FALSE(sampleLayout(c.isFloat, c.bits, c.channels, c.blockAlign)) << c.name;
}

// A second process tree's audio, added to the first's as the first's come.
TEST(MixFifo, AddsTheOldestFramesAndKeepsTheRest) {
  struct Case {
    std::string name;
    std::uint32_t capacity;
    std::vector<std::vector<float>> pushes;  // mono; empty: 2 frames of silence
    std::uint32_t take;
    std::vector<float> added;  // onto 10s
    std::uint32_t left;
  };
  const Case cases[] = {
      {"fewer than it has", 8, {{1, 2, 3}}, 2, {11, 12}, 1},
      {"more than it has: only what it has", 8, {{1, 2}}, 4, {11, 12, 10, 10}, 0},
      {"full: the oldest go", 4, {{1, 2, 3}, {4, 5, 6}}, 4, {13, 14, 15, 16}, 0},
      {"one push larger than all of it", 2, {{1, 2, 3, 4, 5}}, 2, {14, 15}, 0},
      {"silence", 8, {{1}, {}, {2}}, 4, {11, 10, 10, 12}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MixFifo fifo(c.capacity, 1);
    for (const auto& push : c.pushes) {
      if (push.empty())
        fifo.push(nullptr, 2);
      else
        fifo.push(push.data(), std::uint32_t(push.size()));
    }
    std::vector<float> out(c.take, 10.f);
    fifo.addInto(out.data(), c.take);
    EXPECT_EQ(out, c.added);
    EXPECT_EQ(fifo.size(), c.left);
  }
}

}  // namespace
}  // namespace audiotap::platform::windows
