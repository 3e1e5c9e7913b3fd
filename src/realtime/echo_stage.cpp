#include "realtime/echo_stage.h"

#include <algorithm>

namespace audiotap::realtime {

EchoStage::EchoStage(std::unique_ptr<EchoCanceller> canceller)
    : EchoStage(std::move(canceller), kHoldBackMs) {}

EchoStage::EchoStage(std::unique_ptr<EchoCanceller> canceller, std::size_t holdBackMs)
    : canceller_(std::move(canceller)) {
  if (!canceller_) return;
  frameSamples_ = canceller_->frameSamples();
  const std::size_t holdBack = holdBackMs * frameSamples_ / 10;
  micLine_.assign(holdBack, 0);
  systemLine_.assign(holdBack + canceller_->delaySamples(), 0);
  reference_.assign(frameSamples_, 0);
  microphone_.assign(frameSamples_, 0);
  system_.assign(frameSamples_, 0);
  // What waits from the last call comes out with this call's frames.
  out_.resize(2 * (kMostFrames + frameSamples_));
}

EchoStage::~EchoStage() = default;

namespace {

// Pushes `sample` into a delay line and returns what comes out of it.
std::int16_t delay(std::vector<std::int16_t>& line, std::size_t& at, std::int16_t sample) noexcept {
  if (line.empty()) return sample;
  const std::int16_t out = line[at];
  line[at] = sample;
  at = at + 1 == line.size() ? 0 : at + 1;
  return out;
}

}  // namespace

void EchoStage::runFrame() noexcept {
  // The reference first: the microphone's frame may hold its echo.
  canceller_->analyzeReference(reference_.data());
  if (!canceller_->processMicrophone(microphone_.data())) failed_.store(true, std::memory_order_relaxed);
  std::int16_t* out = out_.data() + 2 * outFrames_;
  for (std::size_t i = 0; i < filled_; ++i) {
    out[2 * i] = system_[i];
    out[2 * i + 1] = microphone_[i];
  }
  outFrames_ += filled_;
  filled_ = 0;
}

std::span<const std::int16_t> EchoStage::process(const std::int16_t* frames, std::size_t count) noexcept {
  count = std::min(count, kMostFrames);
  // Without a canceller the frames go out as they came, not copied.
  if (!canceller_) return {frames, 2 * count};
  outFrames_ = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::int16_t system = frames[2 * i];
    reference_[filled_] = system;
    system_[filled_] = delay(systemLine_, systemAt_, system);
    microphone_[filled_] = delay(micLine_, micAt_, frames[2 * i + 1]);
    if (++filled_ == frameSamples_) runFrame();
  }
  return {out_.data(), 2 * outFrames_};
}

std::span<const std::int16_t> EchoStage::flush() noexcept {
  outFrames_ = 0;
  if (!canceller_ || filled_ == 0) return {};
  std::fill(reference_.begin() + static_cast<std::ptrdiff_t>(filled_), reference_.end(), 0);
  std::fill(microphone_.begin() + static_cast<std::ptrdiff_t>(filled_), microphone_.end(), 0);
  runFrame();
  return {out_.data(), 2 * outFrames_};
}

std::size_t EchoStage::latencyFrames() const noexcept { return systemLine_.size(); }

bool EchoStage::takeFailed() noexcept { return failed_.exchange(false, std::memory_order_relaxed); }

}  // namespace audiotap::realtime
