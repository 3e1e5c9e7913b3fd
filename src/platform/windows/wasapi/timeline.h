// Keeps a loopback capture's frames on the device's clock. Loopback delivers
// no packets while nothing plays, and a packet may follow a hole (audio the
// engine dropped, or time nothing played): the timeline says how much silence
// goes before each packet, how much of its head was already covered by
// silence, and when a run of dropped audio has ended and should be reported.
// Pure arithmetic on 100-nanosecond ticks (the unit of the packets' QPC
// positions), so that it is tested without a device.
#pragma once

#include <cstdint>

namespace audiotap::platform::windows {

class Timeline {
 public:
  static constexpr std::int64_t kTicksPerSecond = 10'000'000;

  // `quiet`: how long without packets before silence is written by the
  // clock; `lag`: how far behind the clock that silence stays, so that the
  // packet that ends the quiet (stamped with when its first frame played)
  // rarely overlaps it.
  Timeline(std::uint32_t rate, std::int64_t quietTicks, std::int64_t lagTicks);

  // The capture starts at `now`: the timeline counts from here.
  void start(std::int64_t now);

  struct Packet {
    std::uint64_t position;  // the device position of its first frame
    std::uint32_t frames;
    std::int64_t time;   // when its first frame played; 0 when unknown
    bool discontinuity;  // the engine says audio was lost before it
  };
  struct Plan {
    std::uint64_t silence = 0;  // frames of silence to deliver before the packet
    std::uint32_t skip = 0;     // frames of the packet's head to leave out
    std::uint64_t lost = 0;     // a run of dropped audio ended: report it
  };
  // A packet that arrived at `now`.
  Plan packet(const Packet& packet, std::int64_t now);

  // No packet at `now`: the frames of silence due by the clock, if it has
  // been quiet for long enough; they count as delivered.
  std::uint64_t idle(std::int64_t now);

  // The frames of a run of dropped audio not reported yet; taken.
  std::uint64_t takeLost();

  // Frames delivered so far, silence included.
  std::uint64_t frames() const { return frames_; }

 private:
  std::int64_t ticks(std::uint64_t frames) const;
  std::int64_t framesIn(std::int64_t ticks) const;  // rounded to nearest, signed

  std::uint32_t rate_;
  std::int64_t quiet_, lag_;
  std::uint64_t frames_ = 0;
  // The time the end of what was delivered stands for.
  std::int64_t end_ = 0;
  std::int64_t lastArrival_ = 0;
  // Packets follow one another: gaps in position are holes. False at the
  // start and after silence by the clock, when the next packet is placed by
  // its time instead.
  bool flowing_ = false;
  std::uint64_t nextPosition_ = 0;
  bool filling_ = false;
  std::int64_t fillStart_ = 0;
  std::uint64_t filled_ = 0;
  std::uint64_t lost_ = 0;
};

}  // namespace audiotap::platform::windows
