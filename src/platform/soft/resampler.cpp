#include "platform/soft/resampler.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <numeric>

namespace audiotap::platform::soft {
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

// The table filter: passband to 0.45, stopband from 0.525 of the output
// rate, 105 dB down (Kaiser window); the same figures as speexdsp's quality 5
// where it counts (aliases 100 dB down from 8.4 kHz, flat to 0.5 dB up to
// 7 kHz, for 16 kHz out), about 2.8 ms of delay.
constexpr double kStopbandDb = 105;
constexpr double kPassEdge = 0.45, kStopEdge = 0.525;
// Speexdsp's own table serves output terms up to its oversampling (8 or 16);
// past this many coefficients the table is not worth its memory.
constexpr std::uint32_t kMinTableTerm = 17;
constexpr std::size_t kMaxTable = std::size_t(1) << 18;
constexpr std::size_t kMaxChunk = 4096;

double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 50 && term > 1e-12 * sum; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
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
  if (quality == 5 && ratio->in > ratio->out && ratio->out >= kMinTableTerm) {
    // Taps for the transition band, in input frames; an even count, padded
    // to a multiple of 16 with zero coefficients for the vector loop.
    const double transition = (kStopEdge - kPassEdge) * outRate / inRate;
    std::uint32_t taps =
        std::uint32_t(std::ceil((kStopbandDb - 7.95) / (2.285 * 2 * std::numbers::pi * transition)));
    taps = (taps + 15) / 16 * 16;
    if (std::size_t(taps) * ratio->out <= kMaxTable) {
      std::unique_ptr<Resampler> r(new Resampler(nullptr, *ratio));
      r->taps_ = taps;
      r->table_.resize(std::size_t(taps) * ratio->out);
      const double cutoff = (kPassEdge + kStopEdge) / 2 * outRate / inRate;  // cycles per input frame
      const double beta = 0.1102 * (kStopbandDb - 8.7);
      const double half = taps / 2.0;
      for (std::uint32_t p = 0; p < ratio->out; ++p) {
        float* row = &r->table_[std::size_t(p) * taps];
        double sum = 0;
        std::vector<double> h(taps);
        for (std::uint32_t j = 0; j < taps; ++j) {
          // Tap j meets the input frame taps/2 - 1 - j before the output's position.
          const double t = double(p) / ratio->out + half - 1 - j;
          const double x = t / half;
          const double window = std::abs(x) >= 1 ? 0 : besselI0(beta * std::sqrt(1 - x * x)) / besselI0(beta);
          const double a = 2 * std::numbers::pi * cutoff * t;
          h[j] = 2 * cutoff * (t == 0 ? 1 : std::sin(a) / a) * window;
          sum += h[j];
        }
        // Every phase passes DC at exactly unity gain.
        for (std::uint32_t j = 0; j < taps; ++j) row[j] = float(h[j] / sum);
      }
      r->input_.reserve(taps + 2 * kMaxChunk);
      r->input_.assign(taps / 2 - 1, 0.f);  // the frames before the stream are silence
      return r;
    }
  }
  int error = 0;
  SpeexResamplerState* state = speex_resampler_init_frac(1, ratio->in, ratio->out, nominalRate(inRate),
                                                         nominalRate(outRate), quality, &error);
  if (state == nullptr) return nullptr;
  // Without this the stream starts with the filter's delay in zeros; with it
  // output frame k lines up with input time k * ratio.
  speex_resampler_skip_zeros(state);
  return std::unique_ptr<Resampler>(new Resampler(state, *ratio));
}

Resampler::~Resampler() {
  if (state_ != nullptr) speex_resampler_destroy(state_);
}

void Resampler::process(const float* in, std::uint32_t& inFrames, float* out, std::uint32_t& outFrames) {
  if (state_ == nullptr) return processTable(in, inFrames, out, outFrames);
  speex_resampler_process_float(state_, 0, in, &inFrames, out, &outFrames);
}

namespace {

// The clone is picked by an ifunc resolver at load time, before the thread
// sanitizer's runtime is up, which crashes such builds; they keep the one
// portable version, as does Windows, whose executables have no ifuncs.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(_WIN32)
#define AUDIOTAP_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define AUDIOTAP_AVX2_CLONE
#endif

// The filter's inner product, `taps` a multiple of 16; built for AVX2 too,
// picked at load time where the processor has it.
AUDIOTAP_AVX2_CLONE float dot(const float* x, const float* h,
                                                            std::uint32_t taps) {
  using Vector = float __attribute__((vector_size(32)));
  Vector a{}, b{};
  for (std::uint32_t j = 0; j < taps; j += 16) {
    Vector x0, x1, h0, h1;
    std::memcpy(&x0, x + j, sizeof x0);
    std::memcpy(&x1, x + j + 8, sizeof x1);
    std::memcpy(&h0, h + j, sizeof h0);
    std::memcpy(&h1, h + j + 8, sizeof h1);
    a += x0 * h0;
    b += x1 * h1;
  }
  a += b;
  return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
}

}  // namespace

void Resampler::processTable(const float* in, std::uint32_t& inFrames, float* out, std::uint32_t& outFrames) {
  // Input is taken in bounded pieces, so the buffer never grows past what
  // was reserved for it.
  const bool backlog = input_.size() - next_ > taps_ + kMaxChunk;
  const std::uint32_t taken = backlog ? 0 : std::uint32_t(std::min<std::size_t>(inFrames, kMaxChunk));
  input_.insert(input_.end(), in, in + taken);
  inFrames = taken;
  const std::uint32_t room = outFrames;
  const std::uint32_t whole = ratio_.in / ratio_.out, part = ratio_.in % ratio_.out;
  std::uint32_t produced = 0;
  while (produced < room && next_ + taps_ <= input_.size()) {
    out[produced++] = dot(input_.data() + next_, table_.data() + std::size_t(phase_) * taps_, taps_);
    next_ += whole;
    phase_ += part;
    if (phase_ >= ratio_.out) {
      phase_ -= ratio_.out;
      ++next_;
    }
  }
  outFrames = produced;
  const std::size_t done = std::min(next_, input_.size());
  input_.erase(input_.begin(), input_.begin() + std::ptrdiff_t(done));
  next_ -= done;
}

std::uint32_t Resampler::tailFrames() const {
  if (state_ == nullptr) return taps_ / 2;
  return std::uint32_t(speex_resampler_get_input_latency(state_));
}

}  // namespace audiotap::platform::soft
