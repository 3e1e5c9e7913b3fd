#include "platform/linux/clock_lock.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace audiotap::platform::linux {

namespace {

// The ratio is (kDen + step) / kDen, a step of 15 ppm. speexdsp 1.2.1 refuses
// a new ratio, and goes on with a stale one, whenever its phase times the
// denominator passes 2^32: below 2^16 it never does. A prime, so that the
// ratio never reduces to another denominator.
constexpr std::uint32_t kDen = 65'521;
// The controller: a natural period of about 40 s, damped, on the fill
// smoothed over a second; so each side's packets (a few ms to 20 ms) barely
// move the ratio, and a drift of 1000 ppm costs the lag ~2 ms at worst.
constexpr double kSmoothSeconds = 1.0;
// The fill after a draw, where the controller holds it, is learnt over the
// first seconds: it depends on how the two streams' packets fall, and a
// controller that sought a fill of its own choosing would move the lag at
// the start of every capture.
constexpr double kLearnSeconds = 2.0;
constexpr double kOmega = 2 * 3.14159265358979 / 40;
constexpr double kProportional = 2 * 0.7 * kOmega;
constexpr double kIntegral = kOmega * kOmega;
// A fill far off its setpoint is a burst of one stream (the other stalled
// and is catching up), not drift: the controller takes it as no more than
// this, so it does not move the lag while the burst passes.
constexpr double kErrorLimit = 0.003;
// After a stall, the microphone's frames of the stretch that went out as
// silence may come late, within this (the server's timing update that tells
// of audio it skipped comes once a second); more than a packet and this
// over the setpoint is late.
constexpr double kLateSeconds = 1.5;
constexpr double kLateSlack = 0.010;
// Well beyond any card's drift; within it the resampler's filter keeps its
// length, so it never reallocates.
constexpr double kLimit = 0.005;

}  // namespace

ClockLock::ClockLock(std::uint32_t rate, std::uint32_t targetFrames, std::uint32_t capacityFrames)
    : rate_(rate), target_(targetFrames), ring_(std::max(capacityFrames, 2 * targetFrames), 0.f) {
  int error = 0;
  // Made at a ratio that needs the interpolated filter table, the largest it
  // uses: later changes of the ratio then never reallocate it.
  resampler_ =
      speex_resampler_init_frac(1, kDen + 1, kDen, rate, rate, SPEEX_RESAMPLER_QUALITY_DEFAULT, &error);
  if (resampler_ == nullptr) throw std::bad_alloc();
  speex_resampler_skip_zeros(resampler_);
  setpoint_ = smoothed_ = double(target_);
}

ClockLock::~ClockLock() { speex_resampler_destroy(resampler_); }

void ClockLock::push(const float* samples, std::size_t frames, std::uint32_t channels) {
  const std::size_t capacity = ring_.size();
  if (size_ + frames > capacity) {
    // Overflowed: keep the newest, the target's worth. Before the first pull
    // this is only the backlog of the start.
    if (primed_ && !muted_) ++stalls_;
    const std::size_t keep = std::min(target_, frames);
    const std::size_t old = std::min(size_, size_ + keep - std::min(size_ + keep, target_));
    head_ = (head_ + old) % capacity;
    size_ -= old;
    if (samples != nullptr) samples += (frames - keep) * channels;
    frames = keep;
    smoothed_ = setpoint_;
  }
  if (owed_ > 0) {
    // After a stall's silence, the microphone's late frames of that stretch:
    // beyond a packet over the setpoint, as much as was padded is cut.
    const double allowed = setpoint_ + double(frames) + rate_ * kLateSlack;
    if (double(size_ + frames) > allowed) {
      std::size_t cut = std::min(owed_, std::size_t(double(size_ + frames) - allowed));
      owed_ -= cut;
      const std::size_t fromFifo = std::min(cut, size_);
      head_ = (head_ + fromFifo) % capacity;
      size_ -= fromFifo;
      cut -= fromFifo;
      if (samples != nullptr) samples += cut * channels;
      frames -= cut;
    }
  }
  dry_ = false;
  const float scale = 1.f / float(channels);
  for (std::size_t i = 0; i < frames; ++i) {
    float sum = 0.f;
    if (samples != nullptr) {
      for (std::uint32_t c = 0; c < channels; ++c) sum += samples[i * channels + c];
    }
    ring_[(head_ + size_) % capacity] = sum * scale;
    ++size_;
  }
}

// Whatever the fill, back to the target once `drawing` more frames are drawn:
// silence before what is held, or the oldest frames cut.
void ClockLock::recentre(std::size_t drawing) {
  const std::size_t target = std::min(target_ + drawing, ring_.size());
  const std::size_t capacity = ring_.size();
  if (size_ > target) {
    head_ = (head_ + size_ - target) % capacity;
    size_ = target;
  }
  while (size_ < target) {
    head_ = (head_ + capacity - 1) % capacity;
    ring_[head_] = 0.f;
    ++size_;
  }
  smoothed_ = setpoint_;
}

void ClockLock::pull(float* out, std::size_t frames) {
  if (muted_) {
    std::fill(out, out + frames, 0.f);
    return;
  }
  if (!primed_) {
    primed_ = true;
    recentre(frames);
  }
  const std::size_t capacity = ring_.size();
  std::size_t done = 0;
  while (done < frames) {
    if (size_ == 0) {
      // Dry: the microphone stalled. Once per episode it counts.
      if (!dry_) ++stalls_;
      dry_ = true;
      recentre(frames - done);
      // Late rather than lost, its frames may yet come: as much is cut then.
      owed_ = std::min(owed_ + size_, ring_.size());
      owedFor_ = 0;
    }
    spx_uint32_t in = spx_uint32_t(std::min(size_, capacity - head_));
    spx_uint32_t made = spx_uint32_t(frames - done);
    speex_resampler_process_float(resampler_, 0, &ring_[head_], &in, out + done, &made);
    head_ = (head_ + in) % capacity;
    size_ -= in;
    done += made;
    if (in == 0 && made == 0) {
      // Cannot happen with input at hand; never spin.
      std::fill(out + done, out + frames, 0.f);
      break;
    }
  }
  steer(frames);
}

double ClockLock::correctionPpm() const { return step_ * 1e6 / kDen; }

void ClockLock::steer(std::size_t frames) {
  if (owed_ > 0) {
    // Lost, not late: nothing more to cut. Meanwhile the fill is no measure of drift.
    owedFor_ += frames;
    if (owedFor_ > std::size_t(kLateSeconds * rate_)) owed_ = 0;
    return;
  }
  if (learnt_ < std::uint64_t(kLearnSeconds * rate_)) {
    learnt_ += frames;
    learnSum_ += double(size_) * double(frames);
    if (learnt_ >= std::uint64_t(kLearnSeconds * rate_)) {
      setpoint_ = std::clamp(learnSum_ / double(learnt_), target_ / 2.0, target_ * 2.0);
      smoothed_ = setpoint_;
    }
    return;
  }
  const double dt = double(frames) / rate_;
  smoothed_ += (double(size_) - smoothed_) * std::min(1.0, dt / kSmoothSeconds);
  const double error = std::clamp((smoothed_ - setpoint_) / rate_, -kErrorLimit, kErrorLimit);
  double correction = kProportional * error + kIntegral * (integral_ + error * dt);
  if (std::abs(correction) < kLimit) {
    integral_ += error * dt;
  } else {
    correction = std::clamp(correction, -kLimit, kLimit);
  }
  auto step = std::int32_t(std::lround(correction * kDen));
  if (step == step_) return;
  if (speex_resampler_set_rate_frac(resampler_, spx_uint32_t(std::int64_t(kDen) + step), kDen, rate_,
                                    rate_) == RESAMPLER_ERR_SUCCESS)
    step_ = step;
}

}  // namespace audiotap::platform::linux
