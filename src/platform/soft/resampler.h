// Mono float resampling at a rational rate ratio, with its state kept from one
// call to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct SpeexResamplerState_;

namespace audiotap::platform::soft {

// Input frames : output frames, in lowest terms.
struct Ratio {
  std::uint32_t in;
  std::uint32_t out;
  bool operator==(const Ratio&) const = default;
};

// The widest ratio either way that the filters are built for.
inline constexpr std::uint32_t kMaxRatio = 256;

// Exact for whole-number rates; the nearest fraction with terms the resampler
// can index otherwise. Null for unusable rates or a ratio beyond kMaxRatio.
std::optional<Ratio> rateRatio(double inRate, double outRate);

class Resampler {
 public:
  // Null when the ratio is refused or the filter cannot be built.
  // Quality 5 downsampling at a ratio whose output term is large (44.1 kHz to
  // 16 kHz is 441:160) gets a polyphase filter with a table for every phase,
  // where speexdsp would interpolate between its table's entries at four
  // times the cost; any other conversion is speexdsp's.
  static std::unique_ptr<Resampler> make(double inRate, double outRate, int quality);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  Ratio ratio() const { return ratio_; }
  // Takes input while the output has room; on return the two counts hold the
  // frames consumed and produced.
  void process(const float* in, std::uint32_t& inFrames, float* out, std::uint32_t& outFrames);
  // Zero frames that carry the last input through the filter.
  std::uint32_t tailFrames() const;

 private:
  Resampler(SpeexResamplerState_* state, Ratio ratio) : state_(state), ratio_(ratio) {}
  void processTable(const float* in, std::uint32_t& inFrames, float* out, std::uint32_t& outFrames);

  SpeexResamplerState_* state_;  // null: the table's
  Ratio ratio_;
  // The table's state: `taps` coefficients for each of ratio.out phases; the
  // input from taps / 2 - 1 frames before the next output's position on.
  std::uint32_t taps_ = 0;
  std::vector<float> table_, input_;
  std::uint32_t phase_ = 0;  // of the next output, in 1 / ratio.out input frames
  std::size_t next_ = 0;     // input_ index of the next output's first tap
};

}  // namespace audiotap::platform::soft
