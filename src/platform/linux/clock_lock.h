// The microphone's frames on the sink's clock. The microphone's card runs on
// a clock of its own, some ppm off the sink's: its frames wait in a FIFO, and
// each monitor delivery draws exactly as many frames through an adaptive
// resampler, whose ratio a slow PI controller trims (in steps of 15 ppm) so
// that the FIFO's smoothed fill stays where it settled in the first seconds.
// The lag behind the sink then stays what it was at the start, however long
// the capture runs.
//
// A stall the controller cannot absorb re-centres the FIFO once: run dry,
// silence (and, should the microphone's frames of that stretch come late
// after all, as much cut from them); overflowed, a cut.
//
// One thread (the serving task); sized at construction, so push and pull
// never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

namespace audiotap::platform::linux {

class ClockLock {
 public:
  // `rate`: both sides' nominal rate. `targetFrames`: the fill at the start
  // and after a stall, well above the jitter of either side's packets;
  // `capacityFrames` above that.
  ClockLock(std::uint32_t rate, std::uint32_t targetFrames, std::uint32_t capacityFrames);
  ~ClockLock();
  ClockLock(const ClockLock&) = delete;
  ClockLock& operator=(const ClockLock&) = delete;

  // The microphone's frames, `channels` interleaved, kept as their mean;
  // `samples` null: silence.
  void push(const float* samples, std::size_t frames, std::uint32_t channels);
  // `frames` mono frames on the sink's clock.
  void pull(float* out, std::size_t frames);
  // From now on pull() gives zeros.
  void mute() { muted_ = true; }

  std::size_t fill() const { return size_; }
  // Stalls re-centred, one per episode.
  std::uint64_t stalls() const { return stalls_; }
  // Input frames taken per output frame, less one, in ppm.
  double correctionPpm() const;

 private:
  void recentre(std::size_t drawing);
  void steer(std::size_t frames);

  std::uint32_t rate_;
  std::size_t target_;
  std::vector<float> ring_;
  std::size_t head_ = 0, size_ = 0;
  // Silence padded in the last stall, cut from frames that come late; for
  // how many frames drawn since.
  std::size_t owed_ = 0, owedFor_ = 0;
  SpeexResamplerState_* resampler_ = nullptr;
  double setpoint_ = 0;       // the fill after a draw to hold, frames
  double smoothed_ = 0;       // fill after a draw, frames
  std::uint64_t learnt_ = 0;  // frames drawn while learning the setpoint
  double learnSum_ = 0;
  double integral_ = 0;    // of the fill's error, second-seconds
  std::int32_t step_ = 1;  // the ratio is (kDen + step_) / kDen
  std::uint64_t stalls_ = 0;
  bool primed_ = false;  // the first pull has set the fill
  bool dry_ = false;     // re-centred on an empty FIFO, no data since
  bool muted_ = false;
};

}  // namespace audiotap::platform::linux
