// The writer's stage for two channels, system and microphone, interleaved:
// with a canceller, it removes the system audio's echo from the microphone
// in 10 ms frames, holding the microphone back so that its echo always comes
// after the reference, and delays the system channel by as much as the
// microphone's comes out late, so that frame n of both is still one moment.
// Without one, frames pass through unchanged. Allocates only when made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "realtime/echo_canceller.h"

namespace audiotap::realtime {

class EchoStage {
 public:
  // At most this many frames go into one process() call.
  static constexpr std::size_t kMostFrames = 8192;

  // How long the microphone is held back, so that an echo reaching it 0 to
  // 80 ms after the sound left (or a reference up to 20 ms late) falls in
  // the canceller's working window: bench/echo measures the choice.
  static constexpr std::size_t kHoldBackMs = 20;

  explicit EchoStage(std::unique_ptr<EchoCanceller> canceller);
  // With another hold-back (the bench measures the choice).
  EchoStage(std::unique_ptr<EchoCanceller> canceller, std::size_t holdBackMs);
  ~EchoStage();
  EchoStage(const EchoStage&) = delete;
  EchoStage& operator=(const EchoStage&) = delete;

  // `count` interleaved frames in (count <= kMostFrames); the frames ready to
  // go out, interleaved, valid until the next call (without a canceller,
  // `frames` itself). Over a capture the frames out equal the frames in less
  // what waits for a whole 10 ms frame.
  std::span<const std::int16_t> process(const std::int16_t* frames, std::size_t count) noexcept;
  // The frames that wait for a whole 10 ms frame, processed as they are,
  // at the end of the capture.
  std::span<const std::int16_t> flush() noexcept;
  // How much later than it was captured a moment comes out, in frames.
  std::size_t latencyFrames() const noexcept;
  // Whether the canceller has failed since the last call (main thread).
  bool takeFailed() noexcept;
  // The frames in less the frames out so far: what waits for a whole 10 ms frame.
  std::size_t pendingFrames() const noexcept { return filled_; }

 private:
  void runFrame() noexcept;

  std::unique_ptr<EchoCanceller> canceller_;
  std::size_t frameSamples_ = 0;
  // Delay lines: the microphone's hold-back, and the system channel's
  // hold-back plus the canceller's own delay.
  std::vector<std::int16_t> micLine_;
  std::vector<std::int16_t> systemLine_;
  std::size_t micAt_ = 0;
  std::size_t systemAt_ = 0;
  // The 10 ms frame being filled: reference, held-back microphone, delayed system.
  std::vector<std::int16_t> reference_;
  std::vector<std::int16_t> microphone_;
  std::vector<std::int16_t> system_;
  std::size_t filled_ = 0;
  std::vector<std::int16_t> out_;
  std::size_t outFrames_ = 0;
  std::atomic<bool> failed_{false};
};

}  // namespace audiotap::realtime
