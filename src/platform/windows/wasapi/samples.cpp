#include "platform/windows/wasapi/samples.h"

#include <cstring>

namespace audiotap::platform::windows {

std::optional<SampleLayout> sampleLayout(bool isFloat, std::uint32_t containerBits, std::uint32_t channels,
                                         std::uint32_t blockAlign) {
  if (channels == 0 || blockAlign != channels * (containerBits / 8) || containerBits % 8 != 0)
    return std::nullopt;
  std::optional<SampleEncoding> encoding;
  if (isFloat) {
    if (containerBits == 32) encoding = SampleEncoding::Float32;
  } else if (containerBits == 16) {
    encoding = SampleEncoding::Int16;
  } else if (containerBits == 24) {
    encoding = SampleEncoding::Int24;
  } else if (containerBits == 32) {
    encoding = SampleEncoding::Int32;
  }
  if (!encoding) return std::nullopt;
  return SampleLayout{*encoding, channels, blockAlign};
}

void toFloat(const SampleLayout& layout, const std::byte* in, std::uint32_t frames, float* out) {
  const std::size_t count = std::size_t(frames) * layout.channels;
  switch (layout.encoding) {
    case SampleEncoding::Float32:
      std::memcpy(out, in, count * sizeof(float));
      return;
    case SampleEncoding::Int16:
      for (std::size_t i = 0; i < count; ++i) {
        std::int16_t v;
        std::memcpy(&v, in + 2 * i, 2);
        out[i] = float(v) * (1.f / 32768.f);
      }
      return;
    case SampleEncoding::Int24:
      for (std::size_t i = 0; i < count; ++i) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(in + 3 * i);
        // Into the top of 32 bits, so the sign comes along.
        const auto v =
            std::int32_t(std::uint32_t(b[0]) << 8 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 24);
        out[i] = float(v) * (1.f / 2147483648.f);
      }
      return;
    case SampleEncoding::Int32:
      for (std::size_t i = 0; i < count; ++i) {
        std::int32_t v;
        std::memcpy(&v, in + 4 * i, 4);
        out[i] = float(v) * (1.f / 2147483648.f);
      }
      return;
  }
}

}  // namespace audiotap::platform::windows
