// The endpoint's mix format, read from its WAVEFORMATEX(TENSIBLE) fields, and
// its samples as float32: the core takes float frames, and a shared-mode mix
// format may be integer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace audiotap::platform::windows {

enum class SampleEncoding {
  Float32,
  Int16,
  Int24,  // three bytes, packed
  Int32,  // four bytes, the valid bits at the top (24 in 32 included)
};

struct SampleLayout {
  SampleEncoding encoding;
  std::uint32_t channels;
  std::uint32_t frameBytes;
};

// `isFloat`: the format tag or subformat says IEEE float, else integer PCM.
// Nothing for a layout this capture does not read (8-bit, float64, a block
// that is not channels times the container).
std::optional<SampleLayout> sampleLayout(bool isFloat, std::uint32_t containerBits, std::uint32_t channels,
                                         std::uint32_t blockAlign);

// `frames` frames at `in` to interleaved float32 at `out`.
void toFloat(const SampleLayout& layout, const std::byte* in, std::uint32_t frames, float* out);

}  // namespace audiotap::platform::windows
