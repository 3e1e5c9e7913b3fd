#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/soft/resampler.h"
#include "platform/soft/media.h"

namespace audiotap::platform::soft {
namespace {

using platform::CommonFormat;
constexpr CommonFormat kF32 = CommonFormat::Float32, kI16 = CommonFormat::Int16;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SoftMedia, AcceptsOnlyNativeLinearPcmOfFloat32OrInt16) {
  constexpr std::uint32_t kLpcm = platform::kAudioFormatLinearPCM, kFloat = platform::kAudioFormatFlagIsFloat,
                          kInt = platform::kAudioFormatFlagIsSignedInteger,
                          kPlanar = platform::kAudioFormatFlagIsNonInterleaved;
  // Each refused one differs from an accepted one in a single field. Fields: rate, format, flags,
  // bytes per packet, frames per packet, bytes per frame, channels, bits.
  const struct {
    const char* name;
    platform::StreamDescription description;
    bool accepted;
  } cases[] = {
      {"float stereo, not packed", {48000, kLpcm, kFloat, 8, 1, 8, 2, 32, 0}, true},
      {"int16 6ch planar", {44100, kLpcm, kInt | kPlanar, 2, 1, 2, 6, 16, 0}, true},
      {"64 channels, fractional rate, packed",
       {44100.5, kLpcm, kInt | platform::kAudioFormatFlagIsPacked, 128, 1, 128, 64, 16, 0},
       true},
      {"65 channels", {48000, kLpcm, kFloat, 260, 1, 260, 65, 32, 0}, false},
      {"0 channels", {48000, kLpcm, kFloat, 0, 1, 0, 0, 32, 0}, false},
      {"not lpcm", {48000, platform::fourCharCode("aac "), kFloat, 8, 1, 8, 2, 32, 0}, false},
      {"big endian",
       {48000, kLpcm, kFloat | platform::kAudioFormatFlagIsBigEndian, 8, 1, 8, 2, 32, 0},
       false},
      {"neither float nor signed", {48000, kLpcm, 0, 4, 1, 4, 2, 16, 0}, false},
      {"64 bits in 4 bytes", {48000, kLpcm, kFloat, 8, 1, 8, 2, 64, 0}, false},
      {"planar with interleaved frame size", {44100, kLpcm, kInt | kPlanar, 12, 1, 12, 6, 16, 0}, false},
      {"two frames per packet", {48000, kLpcm, kFloat, 8, 2, 8, 2, 32, 0}, false},
      {"NaN rate", {kNaN, kLpcm, kFloat, 8, 1, 8, 2, 32, 0}, false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    EXPECT_EQ(media->formatWithStreamDescription(&c.description) != nullptr, c.accepted) << c.name;
  }
  EXPECT_EQ(media->formatWithStreamDescription(nullptr), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(kI16, -16000, 1, true), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(CommonFormat::Int32, 16000, 1, true), nullptr);
}

TEST(SoftMedia, RefusesConvertersRatiosAndBuffersItCannotServe) {
  auto media = makeSoftMedia();
  auto from = media->formatWithCommonFormat(kF32, 44100.5, 2, true);
  const auto converts = [&](CommonFormat to, double rate, std::uint32_t channels) {
    return media->makeConverter(*from, *media->formatWithCommonFormat(to, rate, channels, true)) != nullptr;
  };
  EXPECT_TRUE(converts(kI16, 16000, 1));
  EXPECT_FALSE(converts(kF32, 16000, 1));
  EXPECT_FALSE(converts(kI16, 16000, 2));
  EXPECT_FALSE(converts(kI16, 100, 1)) << "beyond the ratio bound";
  EXPECT_EQ(media->makeBuffer(*media->formatWithCommonFormat(kI16, 16000, 64, true), ~0u), nullptr);
  EXPECT_EQ(rateRatio(44100.5, 16000), (Ratio{88201, 32000}));
  EXPECT_EQ(rateRatio(256000, 1000), (Ratio{256, 1}));
  EXPECT_EQ(rateRatio(1000, 256001), std::nullopt);
  // Exact terms too large for the resampler: the nearest with terms up to 2^22.
  for (const auto& [in, out] : {std::pair{48000 * std::sqrt(2.0), 16000.3}, std::pair{3e9 + 7, 1e9 + 3}}) {
    const auto r = rateRatio(in, out);
    ASSERT_TRUE(r) << in;
    EXPECT_LE(std::max(r->in, r->out), 1u << 22);
    EXPECT_NEAR(double(r->in) / r->out, in / out, in / out * 3e-7) << in;
  }
}

TEST(SoftMedia, WrapsTheCallersMemoryWhenTheListHasTheFormatsShape) {
  alignas(8) static std::byte a[128], b[128];
  struct List {  // an AudioBufferList of up to two buffers
    std::uint32_t count;
    platform::AudioBuffer buffers[2];
  };
  const struct {
    const char* name;
    CommonFormat sample;
    bool interleaved;
    List list;
    std::uint32_t frames;  // 0: refused
  } cases[] = {
      {"interleaved, remainder ignored", kF32, true, {1, {{2, 87, a}}}, 10},
      {"planar: the shorter buffer", kI16, false, {2, {{1, 40, a}, {1, 30, b}}}, 15},
      {"planar given one buffer", kI16, false, {1, {{2, 40, a}}}, 0},
      {"wrong channels in the buffer", kF32, true, {1, {{1, 80, a}}}, 0},
      {"misaligned", kF32, true, {1, {{2, 80, a + 2}}}, 0},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    auto format = media->formatWithCommonFormat(c.sample, 48000, 2, c.interleaved);
    auto buffer =
        media->wrapBufferListNoCopy(*format, reinterpret_cast<const platform::AudioBufferList*>(&c.list));
    ASSERT_EQ(buffer != nullptr, c.frames != 0) << c.name;
    if (!buffer) continue;
    buffer->setFrameLength(c.frames + 1);
    EXPECT_EQ(buffer->frameLength(), c.frames) << c.name;
    for (std::uint32_t i = 0; c.sample == kI16 && i < c.list.count; ++i)
      EXPECT_EQ(buffer->int16ChannelData()[i], c.list.buffers[i].mData) << c.name;
  }
  EXPECT_EQ(media->wrapBufferListNoCopy(*media->formatWithCommonFormat(kF32, 48000, 1, true), nullptr),
            nullptr);
}

}  // namespace
}  // namespace audiotap::platform::soft
