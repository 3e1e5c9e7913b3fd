#include "realtime/pcm_writer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

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

PcmWriter::PcmWriter(double rate, double bufferedSeconds, platform::OutputHandle& output, Meter& meter,
                     std::unique_ptr<EchoStage> stage)
    : channels_(meter.channels),
      // A power of two, so a multiple of the frame: no frame is ever split
      // where the ring wraps.
      ring_(ringSize(rate * double(meter.channels), bufferedSeconds)),
      output_(output),
      meter_(meter),
      stage_(std::move(stage)) {}

void PcmWriter::push(const std::int16_t* samples, std::uint32_t count) noexcept {
  // A block a frame smaller than the last can fit the few samples the writer
  // has just freed; that must not end the run of drops.
  if (dropping_ && ring_.used() <= ring_.capacity() / 2) dropping_ = false;
  if (!dropping_ && !ring_.push(samples, count)) dropping_ = true;
  dropped_.observe(dropping_);
  wake();
}

void PcmWriter::owe(std::uint64_t frames) noexcept {
  if (frames == 0) return;
  const std::uint64_t count = frames * channels_;
  const std::uint64_t pushed = owedPushed_.load(std::memory_order_relaxed);
  if (pushed - owedTaken_.load(std::memory_order_acquire) == kMostOwed) {
    // Moves the writer has not got to yet fill every slot: the host is not
    // reading.
    dropped_.observe(true);
    return;
  }
  owed_[pushed % kMostOwed] = Owed{ring_.pushed(), count};
  owedPushed_.store(pushed + 1, std::memory_order_release);
  wake();
}

void PcmWriter::observeUnwrappable(bool unwrappable) noexcept {
  unwrappable_.observe(unwrappable);
  if (unwrappable) wake();
}

void PcmWriter::observeConversion(bool failed, const platform::ConverterError* words) noexcept {
  if (failed && words != nullptr && !failureWordsFull_.load(std::memory_order_acquire)) {
    failureWords_ = *words;
    failureWordsFull_.store(true, std::memory_order_release);
  }
  conversionFailures_.observe(failed);
}

void PcmWriter::wake() noexcept {
  wakeups_.ring();
}

bool PcmWriter::owedPending() const noexcept {
  return owedTaken_.load(std::memory_order_relaxed) != owedPushed_.load(std::memory_order_acquire);
}

void PcmWriter::run() {
  for (;;) {
    const std::uint32_t seen = wakeups_.count();
    while (writeOnce()) {
    }
    if (writeFailed()) {
      if (onWriteFailure) onWriteFailure();
      return;
    }
    if (housekeeping) housekeeping();
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
    }
    if (finishing_.load(std::memory_order_acquire) && ring_.readable().empty() && !owedPending()) {
      flushStage();
      return;
    }
    wakeups_.waitPast(seen);
  }
}

bool PcmWriter::writeOnce() {
  std::span<const std::int16_t> samples = ring_.readable();
  if (owedPending()) {
    const std::uint64_t taken = owedTaken_.load(std::memory_order_relaxed);
    const Owed owed = owed_[taken % kMostOwed];
    const std::uint64_t before = owed.at - ring_.consumed();
    if (before == 0) {
      owedTaken_.store(taken + 1, std::memory_order_release);
      return writeSilence(owed.count);
    }
    samples = samples.first(std::min<std::uint64_t>(samples.size(), before));
  }
  if (samples.empty()) return false;
  if (!writeSamples(samples.data(), samples.size())) return false;
  ring_.consume(samples.size());
  return true;
}

bool PcmWriter::writeSilence(std::uint64_t count) {
  static const std::int16_t zeros[2048] = {};
  while (count > 0) {
    const std::size_t n = std::size_t(std::min<std::uint64_t>(count, std::size(zeros)));
    if (!writeSamples(zeros, n)) return false;
    count -= n;
  }
  return true;
}

bool PcmWriter::writeSamples(const std::int16_t* samples, std::size_t count) {
  if (!stage_) return writeOut(samples, count);
  for (std::size_t done = 0; done + 2 <= count;) {
    const std::size_t frames = std::min((count - done) / 2, EchoStage::kMostFrames);
    const std::span<const std::int16_t> out = stage_->process(samples + done, frames);
    if (!out.empty() && !writeOut(out.data(), out.size())) return false;
    done += 2 * frames;
  }
  return true;
}

void PcmWriter::flushStage() {
  if (!stage_) return;
  const std::span<const std::int16_t> out = stage_->flush();
  if (!out.empty()) writeOut(out.data(), out.size());
}

bool PcmWriter::writeOut(const std::int16_t* samples, std::size_t count) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;
    // Counted before the write, so that a write the stop gives up on counts.
    meterUpdate(meter_, samples, std::uint32_t(count));
  }
  const bool written = output_.writeAll(samples, count * sizeof(std::int16_t));
  const int error = errno;
  std::lock_guard lock(mutex_);
  if (!written) {
    meter_.frames.store(meter_.frames.load(std::memory_order_relaxed) - std::int64_t(count / channels_),
                        std::memory_order_relaxed);
    if (!writeFailed()) {
      writeFailure_ = std::string(kWriteFailed) + std::strerror(error);
      writeFailed_.store(true, std::memory_order_release);
    }
    return false;
  }
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
  for (std::uint64_t fresh = conversionFailures_.takeBegun(); fresh > 0; --fresh) {
    if (failureWordsFull_.load(std::memory_order_acquire)) {
      lastFailureWords_ = std::string(failureWords_.localizedDescription());
      failureWordsFull_.store(false, std::memory_order_release);
    }
    // A converter that says nothing about its failures is not reported.
    if (!lastFailureWords_.empty()) events::emit("error", {{"message", lastFailureWords_}});
  }
  if (stage_ && !echoFailureReported_ && stage_->takeFailed()) {
    echoFailureReported_ = true;
    events::emit("error", {{"message", kEchoCancellerFailed}});
  }
  if (writeFailed() && !writeFailureReported_) {
    writeFailureReported_ = true;
    std::string message;
    {
      std::lock_guard lock(mutex_);
      message = writeFailure_;
    }
    events::emit("error", {{"message", message}});
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
