// Audio of a second process-loopback stream, waiting to be added to the
// first one's: the first stream's packets set the pace (one clock), and what
// the others have by then is mixed in. Sized once; never allocates after.
#pragma once

#include <cstdint>
#include <vector>

namespace audiotap::platform::windows {

class MixFifo {
 public:
  MixFifo(std::uint32_t capacityFrames, std::uint32_t channels);

  // Appends interleaved frames (null: silence). When full, the oldest go:
  // a stream that runs ahead of the clock loses its oldest audio, never the
  // newest.
  void push(const float* frames, std::uint32_t count);
  // Adds up to `count` of the oldest frames into `out` and takes them;
  // returns how many it had.
  std::uint32_t addInto(float* out, std::uint32_t count);

  std::uint32_t size() const { return size_; }

 private:
  std::vector<float> ring_;
  std::uint32_t capacity_, channels_;
  std::uint32_t head_ = 0, size_ = 0;
};

}  // namespace audiotap::platform::windows
