#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"

namespace audiotap::soft::harness {
namespace {

using platform::kAudioFormatFlagIsBigEndian;
using platform::kAudioFormatFlagIsFloat;
using platform::kAudioFormatFlagIsNonInterleaved;
using platform::kAudioFormatFlagIsPacked;
using platform::kAudioFormatFlagIsSignedInteger;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct DescriptionCase {
  const char* name;
  StreamDescription description;
  bool accepted;
};

StreamDescription floatStereo() { return description(CommonFormat::Float32, 48000, 2, true); }

template <class F>
StreamDescription edited(StreamDescription d, F edit) {
  edit(d);
  return d;
}

TEST(SoftMedia, AcceptsOnlyNativePackedLinearPcm) {
  const DescriptionCase cases[] = {
      {"float stereo interleaved", floatStereo(), true},
      {"float 2ch planar", description(CommonFormat::Float32, 48000, 2, false), true},
      {"int16 mono", description(CommonFormat::Int16, 16000, 1, true), true},
      {"int16 6ch planar", description(CommonFormat::Int16, 44100, 6, false), true},
      {"64 channels", description(CommonFormat::Float32, 48000, 64, true), true},
      {"fractional rate", description(CommonFormat::Float32, 44100.5, 1, true), true},
      {"no packed flag", edited(floatStereo(), [](auto& d) { d.mFormatFlags &= ~kAudioFormatFlagIsPacked; }),
       true},
      {"65 channels", description(CommonFormat::Float32, 48000, 65, true), false},
      {"0 channels", edited(floatStereo(), [](auto& d) { d.mChannelsPerFrame = 0; }), false},
      {"not lpcm", edited(floatStereo(), [](auto& d) { d.mFormatID = platform::fourCharCode("aac "); }),
       false},
      {"big endian", edited(floatStereo(), [](auto& d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; }),
       false},
      {"float and integer",
       edited(floatStereo(), [](auto& d) { d.mFormatFlags |= kAudioFormatFlagIsSignedInteger; }), false},
      {"neither float nor signed",
       edited(floatStereo(), [](auto& d) { d.mFormatFlags &= ~kAudioFormatFlagIsFloat; }), false},
      {"unknown flag", edited(floatStereo(), [](auto& d) { d.mFormatFlags |= 1u << 9; }), false},
      {"float64",
       edited(floatStereo(),
              [](auto& d) { d.mBitsPerChannel = 64, d.mBytesPerFrame = d.mBytesPerPacket = 16; }),
       false},
      {"int32",
       edited(description(CommonFormat::Int16, 48000, 1, true),
              [](auto& d) { d.mBitsPerChannel = 32, d.mBytesPerFrame = d.mBytesPerPacket = 4; }),
       false},
      {"24 bits in 4 bytes",
       edited(description(CommonFormat::Int16, 48000, 1, true),
              [](auto& d) { d.mBitsPerChannel = 24, d.mBytesPerFrame = d.mBytesPerPacket = 4; }),
       false},
      {"bytes per frame of all channels when planar",
       edited(description(CommonFormat::Float32, 48000, 2, false), [](auto& d) { d.mBytesPerFrame = 8; }),
       false},
      {"bytes per frame of one channel when interleaved",
       edited(floatStereo(), [](auto& d) { d.mBytesPerFrame = d.mBytesPerPacket = 4; }), false},
      {"bytes per packet differ", edited(floatStereo(), [](auto& d) { d.mBytesPerPacket = 16; }), false},
      {"two frames per packet", edited(floatStereo(), [](auto& d) { d.mFramesPerPacket = 2; }), false},
      {"zero rate", description(CommonFormat::Float32, 0, 2, true), false},
      {"negative rate", description(CommonFormat::Float32, -48000, 2, true), false},
      {"NaN rate", description(CommonFormat::Float32, kNaN, 2, true), false},
      {"infinite rate", description(CommonFormat::Float32, kInf, 2, true), false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    EXPECT_EQ(media->formatWithStreamDescription(&c.description) != nullptr, c.accepted) << c.name;
  }
  EXPECT_EQ(media->formatWithStreamDescription(nullptr), nullptr);
}

TEST(SoftMedia, CommonFormats) {
  struct Case {
    CommonFormat format;
    double rate;
    std::uint32_t channels;
    bool accepted;
  };
  const Case cases[] = {
      {CommonFormat::Int16, 16000, 1, true},    {CommonFormat::Float32, 8000.5, 2, true},
      {CommonFormat::Int16, 16000, 0, false},   {CommonFormat::Int16, 16000, 65, false},
      {CommonFormat::Int16, 0, 1, false},       {CommonFormat::Int16, -16000, 1, false},
      {CommonFormat::Int16, kNaN, 1, false},    {CommonFormat::Int16, kInf, 1, false},
      {CommonFormat::Float64, 16000, 1, false}, {CommonFormat::Int32, 16000, 1, false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    for (bool interleaved : {true, false}) {
      EXPECT_EQ(media->formatWithCommonFormat(c.format, c.rate, c.channels, interleaved) != nullptr,
                c.accepted)
          << int(c.format) << " " << c.rate << " " << c.channels;
    }
  }
}

TEST(SoftMedia, ConvertersOnlyToInt16MonoWithinTheRatioBound) {
  struct Case {
    const char* name;
    CommonFormat to;
    std::uint32_t toChannels;
    double fromRate;
    double toRate;
    bool accepted;
  };
  const Case cases[] = {
      {"48k to 16k", CommonFormat::Int16, 1, 48000, 16000, true},
      {"same rate", CommonFormat::Int16, 1, 16000, 16000, true},
      {"fractional", CommonFormat::Int16, 1, 44100.5, 16000, true},
      {"256 down", CommonFormat::Int16, 1, 256 * 1000, 1000, true},
      {"256 up", CommonFormat::Int16, 1, 1000, 256 * 1000, true},
      {"beyond 256 down", CommonFormat::Int16, 1, 256 * 1000 + 1, 1000, false},
      {"beyond 256 up", CommonFormat::Int16, 1, 1000, 256 * 1000 + 1, false},
      {"to float", CommonFormat::Float32, 1, 48000, 16000, false},
      {"to stereo", CommonFormat::Int16, 2, 48000, 16000, false},
  };
  auto media = makeSoftMedia();
  for (const auto& c : cases) {
    const StreamDescription d = description(CommonFormat::Float32, c.fromRate, 2, true);
    auto from = media->formatWithStreamDescription(&d);
    auto to = media->formatWithCommonFormat(c.to, c.toRate, c.toChannels, true);
    ASSERT_TRUE(from && to) << c.name;
    EXPECT_EQ(media->makeConverter(*from, *to) != nullptr, c.accepted) << c.name;
  }
}

TEST(SoftMedia, WrapsTheCallersMemoryWhenTheListHasTheFormatsShape) {
  struct Case {
    const char* name;
    CommonFormat sample;
    std::uint32_t channels;
    bool interleaved;
    std::uint32_t buffers;
    std::uint32_t channelsPerBuffer;
    std::uint32_t bytes[2];
    std::uint32_t frames;  // 0: refused
  };
  const Case cases[] = {
      {"interleaved stereo", CommonFormat::Float32, 2, true, 1, 2, {80}, 10},
      {"remainder bytes ignored", CommonFormat::Float32, 2, true, 1, 2, {87}, 10},
      {"planar: the shorter buffer", CommonFormat::Int16, 2, false, 2, 1, {40, 30}, 15},
      {"planar given one buffer", CommonFormat::Int16, 2, false, 1, 2, {40}, 0},
      {"interleaved given two", CommonFormat::Float32, 2, true, 2, 1, {40, 40}, 0},
      {"channel count in buffer wrong", CommonFormat::Float32, 2, true, 1, 1, {80}, 0},
      {"no buffers", CommonFormat::Float32, 1, true, 0, 1, {}, 0},
  };
  auto media = makeSoftMedia();
  alignas(8) std::byte memory[2][128] = {};
  for (const auto& c : cases) {
    auto format = media->formatWithCommonFormat(c.sample, 48000, c.channels, c.interleaved);
    BufferList list(c.buffers);
    for (std::uint32_t b = 0; b < c.buffers; ++b) list[b] = {c.channelsPerBuffer, c.bytes[b], memory[b]};
    auto buffer = media->wrapBufferListNoCopy(*format, list.get());
    if (c.frames == 0) {
      EXPECT_EQ(buffer, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(buffer, nullptr) << c.name;
    EXPECT_EQ(buffer->frameLength(), c.frames) << c.name;
    buffer->setFrameLength(c.frames + 1);
    EXPECT_EQ(buffer->frameLength(), c.frames) << c.name << ": frame length beyond capacity";
    if (c.sample == CommonFormat::Int16) {
      for (std::uint32_t b = 0; b < c.buffers; ++b) {
        EXPECT_EQ(static_cast<void*>(buffer->int16ChannelData()[b]), memory[b]) << c.name << ": copied";
      }
    } else {
      EXPECT_EQ(buffer->int16ChannelData(), nullptr) << c.name;
    }
  }
  auto format = media->formatWithCommonFormat(CommonFormat::Float32, 48000, 1, true);
  EXPECT_EQ(media->wrapBufferListNoCopy(*format, nullptr), nullptr);
  BufferList misaligned(1);
  misaligned[0] = {1, 8, memory[0] + 1};
  EXPECT_EQ(media->wrapBufferListNoCopy(*format, misaligned.get()), nullptr);
}

TEST(SoftMedia, MadeBuffersHaveInt16ChannelsOnlyForInt16) {
  auto media = makeSoftMedia();
  auto int16 = media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Int16, 16000, 2, false), 187);
  ASSERT_NE(int16, nullptr);
  EXPECT_EQ(int16->frameLength(), 0u);
  int16->setFrameLength(187);
  std::int16_t* const* channels = int16->int16ChannelData();
  ASSERT_NE(channels, nullptr);
  ASSERT_NE(channels[0], nullptr);
  ASSERT_NE(channels[1], nullptr);
  // Both channels are writable over the whole capacity without overlapping.
  for (int i = 0; i < 187; ++i) channels[0][i] = 1, channels[1][i] = 2;
  EXPECT_EQ(channels[0][186], 1);

  auto floats = media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Float32, 16000, 1, true), 187);
  ASSERT_NE(floats, nullptr);
  EXPECT_EQ(floats->int16ChannelData(), nullptr);
  EXPECT_EQ(
      media->makeBuffer(*media->formatWithCommonFormat(CommonFormat::Int16, 16000, 64, true), 0xFFFFFFFFu),
      nullptr);
}

}  // namespace
}  // namespace audiotap::soft::harness
