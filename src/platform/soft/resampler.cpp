#include "platform/soft/resampler.h"

#include <speex/speex_resampler.h>

#include <cmath>
#include <numeric>

namespace audiotap::soft {
namespace {

// The resampler multiplies its fractional position (below the output term) by
// the filter table's oversampling in 32 bits, and the filter length by the
// input term: both terms stay far below 2^32 / 256.
constexpr std::uint64_t kMaxTerm = std::uint64_t(1) << 22;

std::optional<Ratio> lowestTerms(std::uint64_t in, std::uint64_t out) {
  const std::uint64_t divisor = std::gcd(in, out);
  in /= divisor;
  out /= divisor;
  if (in == 0 || out == 0 || in > kMaxTerm || out > kMaxTerm) return std::nullopt;
  return Ratio{std::uint32_t(in), std::uint32_t(out)};
}

// The last continued-fraction convergent of x whose terms fit.
std::optional<Ratio> nearestFraction(double x) {
  std::uint64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  double rest = x;
  for (int i = 0; i < 64; ++i) {
    const double whole = std::floor(rest);
    if (whole > double(kMaxTerm)) break;
    const std::uint64_t h2 = std::uint64_t(whole) * h1 + h0, k2 = std::uint64_t(whole) * k1 + k0;
    if (h2 > kMaxTerm || k2 > kMaxTerm) break;
    h0 = h1, h1 = h2, k0 = k1, k1 = k2;
    if (rest - whole < 1e-9) break;
    rest = 1.0 / (rest - whole);
  }
  if (k1 == 0) return std::nullopt;
  return lowestTerms(h1, k1);
}

bool wholeRate(double rate) { return rate == std::floor(rate) && rate <= 4294967295.0; }

std::uint32_t nominalRate(double rate) {
  const double rounded = std::round(rate);
  return rounded < 1 ? 1 : rounded > 4294967295.0 ? 4294967295u : std::uint32_t(rounded);
}

}  // namespace

std::optional<Ratio> rateRatio(double inRate, double outRate) {
  if (!std::isfinite(inRate) || !std::isfinite(outRate) || inRate <= 0 || outRate <= 0) return std::nullopt;
  const double x = inRate / outRate;
  if (x > kMaxRatio || x < 1.0 / kMaxRatio) return std::nullopt;
  std::optional<Ratio> ratio;
  if (wholeRate(inRate) && wholeRate(outRate))
    ratio = lowestTerms(std::uint64_t(inRate), std::uint64_t(outRate));
  if (!ratio) ratio = nearestFraction(x);
  if (!ratio || ratio->in > kMaxRatio * std::uint64_t(ratio->out) ||
      ratio->out > kMaxRatio * std::uint64_t(ratio->in)) {
    return std::nullopt;
  }
  return ratio;
}

std::unique_ptr<Resampler> Resampler::make(double inRate, double outRate, int quality) {
  const auto ratio = rateRatio(inRate, outRate);
  if (!ratio) return nullptr;
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init_frac(1, ratio->in, ratio->out, nominalRate(inRate),
                                                         nominalRate(outRate), quality, &error);
  if (state == nullptr) return nullptr;
  // Without this the stream starts with the filter's delay in zeros; with it
  // output frame k lines up with input time k * ratio.
  speex_resampler_skip_zeros(state);
  return std::unique_ptr<Resampler>(new Resampler(state, *ratio));
}

Resampler::~Resampler() { speex_resampler_destroy(state_); }

void Resampler::process(const float* in, std::uint32_t& inFrames, float* out, std::uint32_t& outFrames) {
  speex_resampler_process_float(state_, 0, in, &inFrames, out, &outFrames);
}

std::uint32_t Resampler::tailFrames() const {
  return std::uint32_t(speex_resampler_get_input_latency(state_));
}

}  // namespace audiotap::soft
