#include <gtest/gtest.h>

#include <limits>

#include "harness.h"

namespace audiotap::soft::harness {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

StreamDescription edited(StreamDescription d, void (*edit)(StreamDescription&)) {
  edit(d);
  return d;
}

TEST(SoftMedia, AcceptsOnlyNativeLinearPcmOfFloat32OrInt16) {
  const auto stereo = description(CommonFormat::Float32, 48000, 2, true);
  const struct {
    const char* name;
    StreamDescription description;
    bool accepted;
  } cases[] = {
      {"float stereo", stereo, true},
      {"float planar", description(CommonFormat::Float32, 48000, 2, false), true},
      {"int16 6ch planar", description(CommonFormat::Int16, 44100, 6, false), true},
      {"64 channels, fractional rate", description(CommonFormat::Int16, 44100.5, 64, true), true},
      {"no packed flag",
       edited(stereo, [](auto& d) { d.mFormatFlags &= ~platform::kAudioFormatFlagIsPacked; }), true},
      {"65 channels", description(CommonFormat::Float32, 48000, 65, true), false},
      {"0 channels", edited(stereo, [](auto& d) { d.mChannelsPerFrame = 0; }), false},
      {"not lpcm", edited(stereo, [](auto& d) { d.mFormatID = platform::fourCharCode("aac "); }), false},
      {"big endian", edited(stereo, [](auto& d) { d.mFormatFlags |= platform::kAudioFormatFlagIsBigEndian; }),
       false},
      {"float and signed",
       edited(stereo, [](auto& d) { d.mFormatFlags |= platform::kAudioFormatFlagIsSignedInteger; }), false},
      {"unsigned integer",
       edited(stereo, [](auto& d) { d.mFormatFlags &= ~platform::kAudioFormatFlagIsFloat; }), false},
      {"float64",
       edited(stereo, [](auto& d) { d.mBitsPerChannel = 64, d.mBytesPerFrame = d.mBytesPerPacket = 16; }),
       false},
      {"24 bits in 4 bytes",
       edited(description(CommonFormat::Int16, 48000, 1, true),
              [](auto& d) { d.mBitsPerChannel = 24, d.mBytesPerFrame = d.mBytesPerPacket = 4; }),
       false},
      {"planar with interleaved frame size",
       edited(description(CommonFormat::Float32, 48000, 2, false), [](auto& d) { d.mBytesPerFrame = 8; }),
       false},
      {"interleaved with one channel's frame size",
       edited(stereo, [](auto& d) { d.mBytesPerFrame = d.mBytesPerPacket = 4; }), false},
      {"two frames per packet", edited(stereo, [](auto& d) { d.mFramesPerPacket = 2; }), false},
      {"zero rate", description(CommonFormat::Float32, 0, 2, true), false},
      {"NaN rate", description(CommonFormat::Float32, kNaN, 2, true), false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    EXPECT_EQ(media->formatWithStreamDescription(&c.description) != nullptr, c.accepted) << c.name;
  }
  EXPECT_EQ(media->formatWithStreamDescription(nullptr), nullptr);
  EXPECT_NE(media->formatWithCommonFormat(CommonFormat::Int16, 16000, 1, true), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(CommonFormat::Int16, -16000, 1, true), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(CommonFormat::Float32, kNaN, 1, true), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(CommonFormat::Int16, 16000, 0, true), nullptr);
  EXPECT_EQ(media->formatWithCommonFormat(CommonFormat::Int32, 16000, 1, true), nullptr);
}

TEST(SoftMedia, ConvertsOnlyToInt16MonoWithinTheRatioBound) {
  const struct {
    CommonFormat to;
    std::uint32_t toChannels;
    double fromRate, toRate;
    bool accepted;
  } cases[] = {
      {CommonFormat::Int16, 1, 44100.5, 16000, true},  {CommonFormat::Int16, 1, 16000, 16000, true},
      {CommonFormat::Int16, 1, 256000, 1000, true},    {CommonFormat::Int16, 1, 1000, 256000, true},
      {CommonFormat::Int16, 1, 256001, 1000, false},   {CommonFormat::Int16, 1, 1000, 256001, false},
      {CommonFormat::Float32, 1, 48000, 16000, false}, {CommonFormat::Int16, 2, 48000, 16000, false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    const StreamDescription d = description(CommonFormat::Float32, c.fromRate, 2, true);
    auto from = media->formatWithStreamDescription(&d);
    auto to = media->formatWithCommonFormat(c.to, c.toRate, c.toChannels, true);
    EXPECT_EQ(media->makeConverter(*from, *to) != nullptr, c.accepted) << c.fromRate << " -> " << c.toRate;
  }
}

TEST(SoftMedia, WrapsTheCallersMemoryWhenTheListHasTheFormatsShape) {
  alignas(8) static std::byte memory[2][128];
  const struct {
    const char* name;
    CommonFormat sample;
    bool interleaved;
    std::uint32_t buffers, channelsPerBuffer, bytes[2];
    std::uint32_t frames;  // 0: refused
  } cases[] = {
      {"interleaved, remainder ignored", CommonFormat::Float32, true, 1, 2, {87}, 10},
      {"planar: the shorter buffer", CommonFormat::Int16, false, 2, 1, {40, 30}, 15},
      {"planar given one buffer", CommonFormat::Int16, false, 1, 2, {40}, 0},
      {"interleaved given two", CommonFormat::Float32, true, 2, 1, {40, 40}, 0},
      {"wrong channels in the buffer", CommonFormat::Float32, true, 1, 1, {80}, 0},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    auto format = media->formatWithCommonFormat(c.sample, 48000, 2, c.interleaved);
    BufferList list(c.buffers);
    for (std::uint32_t b = 0; b < c.buffers; ++b) list[b] = {c.channelsPerBuffer, c.bytes[b], memory[b]};
    auto buffer = media->wrapBufferListNoCopy(*format, list.get());
    ASSERT_EQ(buffer != nullptr, c.frames != 0) << c.name;
    if (!buffer) continue;
    buffer->setFrameLength(c.frames + 1);
    EXPECT_EQ(buffer->frameLength(), c.frames) << c.name;
    for (std::uint32_t b = 0; c.sample == CommonFormat::Int16 && b < c.buffers; ++b) {
      EXPECT_EQ(static_cast<void*>(buffer->int16ChannelData()[b]), memory[b]) << c.name;
    }
  }
  auto mono = media->formatWithCommonFormat(CommonFormat::Float32, 48000, 1, true);
  BufferList misaligned(1);
  misaligned[0] = {1, 8, memory[0] + 1};
  EXPECT_EQ(media->wrapBufferListNoCopy(*mono, misaligned.get()), nullptr);
  EXPECT_EQ(media->wrapBufferListNoCopy(*mono, nullptr), nullptr);
}

TEST(SoftMedia, MadeBuffersHaveInt16ChannelsOnlyForInt16) {
  auto media = makeSoftMedia();
  auto planar = media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Int16, 16000, 2, false), 187);
  ASSERT_NE(planar, nullptr);
  EXPECT_EQ(planar->frameLength(), 0u);
  std::int16_t* const* channels = planar->int16ChannelData();
  ASSERT_TRUE(channels && channels[0] && channels[1]);
  EXPECT_GE(std::abs(channels[1] - channels[0]), 187) << "channels overlap";
  auto floats = media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Float32, 16000, 1, true), 187);
  EXPECT_EQ(floats->int16ChannelData(), nullptr);
  EXPECT_EQ(media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Int16, 16000, 64, true), ~0u),
            nullptr);
}

}  // namespace
}  // namespace audiotap::soft::harness
