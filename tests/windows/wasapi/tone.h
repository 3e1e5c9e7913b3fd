// A sine on the default render endpoint, every channel alike, until the
// object goes: what the capture tests hear under wine or on a real machine.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace audiotap::testing {

class Tone {
 public:
  Tone(double frequency, float amplitude);
  ~Tone();
  Tone(const Tone&) = delete;
  Tone& operator=(const Tone&) = delete;

  // Empty once it plays; otherwise what failed.
  const std::string& error() const { return error_; }

 private:
  void play(double frequency, float amplitude);

  std::atomic<bool> stop_{false};
  std::atomic<int> state_{0};  // 0 starting, 1 playing, 2 failed
  std::string error_;
  std::thread thread_;
};

}  // namespace audiotap::testing
