#include "realtime/echo_stage.h"

#include <algorithm>

namespace audiotap::realtime {

EchoStage::EchoStage(std::unique_ptr<EchoCanceller> canceller)
    : canceller_(std::move(canceller)), out_(2 * kMostFrames) {}

EchoStage::~EchoStage() = default;

std::span<const std::int16_t> EchoStage::process(const std::int16_t* frames, std::size_t count) noexcept {
  count = std::min(count, kMostFrames);
  std::copy(frames, frames + 2 * count, out_.begin());
  return {out_.data(), 2 * count};
}

std::span<const std::int16_t> EchoStage::flush() noexcept { return {}; }

std::size_t EchoStage::latencyFrames() const noexcept { return 0; }

bool EchoStage::takeFailed() noexcept { return false; }

}  // namespace audiotap::realtime
