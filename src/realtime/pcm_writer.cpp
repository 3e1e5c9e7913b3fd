#include "realtime/pcm_writer.h"

#include <algorithm>
#include <cmath>

#include "events/channel.h"

namespace audiotap::realtime {
namespace {
constexpr std::size_t kSmallestRing = std::size_t(1) << 15;
constexpr std::size_t kLargestRing = std::size_t(1) << 22;

std::size_t ringSize(double rate, double seconds) {
  const double wanted = rate * seconds;
  if (!(wanted >= double(kSmallestRing))) return kSmallestRing;
  return wanted >= double(kLargestRing) ? kLargestRing : std::size_t(wanted);
}
}  // namespace

PcmWriter::PcmWriter(double rate, double bufferedSeconds, platform::OutputHandle& output, Meter& meter)
    : ring_(ringSize(rate, bufferedSeconds)), output_(output), meter_(meter) {}

void PcmWriter::push(const std::int16_t* samples, std::uint32_t count) noexcept {
  dropped_.observe(!ring_.push(samples, count));
  wake();
}

void PcmWriter::observeUnwrappable(bool unwrappable) noexcept {
  unwrappable_.observe(unwrappable);
  if (unwrappable) wake();
}

void PcmWriter::wake() noexcept {
  wakeups_.fetch_add(1, std::memory_order_release);
  wakeups_.notify_one();
}

void PcmWriter::run() {
  for (;;) {
    const std::uint32_t seen = wakeups_.load(std::memory_order_acquire);
    while (writeOnce()) {
    }
    if (housekeeping) housekeeping();
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
    }
    if (finishing_.load(std::memory_order_acquire) && ring_.readable().empty()) return;
    wakeups_.wait(seen, std::memory_order_acquire);
  }
}

bool PcmWriter::writeOnce() {
  const std::span<const std::int16_t> samples = ring_.readable();
  if (samples.empty()) return false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    meterUpdate(meter_, samples.data(), std::uint32_t(samples.size()));
  }
  output_.writeAll(samples.data(), samples.size_bytes());
  ring_.consume(samples.size());
  std::lock_guard lock(mutex_);
  if (!closed_) reportIfDue(meter_);
  return true;
}

void PcmWriter::reportLosses() {
  for (std::uint64_t fresh = dropped_.takeBegun(); fresh > 0; --fresh) {
    events::emit("error", {{"message", kSamplesDropped}});
  }
  for (std::uint64_t fresh = unwrappable_.takeBegun(); fresh > 0; --fresh) {
    events::emit("error", {{"message", kUnwrappableBuffers}});
  }
}

std::int64_t PcmWriter::finish(platform::Queue& writerQueue, std::chrono::steady_clock::time_point deadline) {
  finishing_.store(true, std::memory_order_release);
  wake();
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  writerQueue.drain(std::max(left, std::chrono::milliseconds(0)));
  std::int64_t frames;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    frames = meter_.frames.load(std::memory_order_relaxed);
  }
  reportLosses();
  return frames;
}

}  // namespace audiotap::realtime
