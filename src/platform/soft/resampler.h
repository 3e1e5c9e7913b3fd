// Mono float resampling at a rational rate ratio, with its state kept from one
// call to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

struct SpeexResamplerState_;

namespace audiotap::soft {

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

  SpeexResamplerState_* state_;
  Ratio ratio_;
};

}  // namespace audiotap::soft
