// What the Linux end-to-end tests share: the private server, known signals
// played into its null sink, and the analysis of what came back.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child.h"

namespace audiotap::test {

// The server that the test command started (scripts/pulse-server or
// scripts/pipewire-server), or none.
struct PrivateServer {
  std::string dir, sink;
  std::string script;  // the script that started it, for more of the same kind
};
std::optional<PrivateServer> givenServer();
inline constexpr const char* kNoServerReason =
    "no private sound server: run under `eval \"$(scripts/pulse-server start DIR)\"`"
    " (or scripts/pipewire-server)";

// Another private server of the given one's kind in `dir`, for the loss
// cases: the client environment it printed, empty on failure.
std::map<std::string, std::string> startServer(const PrivateServer& kind, const std::string& dir);
// Stops it; `remove` deletes `dir` too.
void stopServer(const PrivateServer& kind, const std::string& dir, bool remove = false);

struct Segment {
  double seconds, frequency;
  double left, right;  // peak amplitude, 0 to 1
};
// Plays the segments as 48 kHz stereo s16le into `sink` through pacat and
// returns once they have been played, reading `capture`'s output meanwhile;
// false when pacat failed. `prefix` runs pacat elsewhere (another root).
bool play(const std::string& sink, const std::vector<Segment>& segments, Child* capture = nullptr,
          const std::string& prefix = {});

struct Tone {
  double frequency = 0, amplitude = 0;
  std::size_t samples = 0;  // length of the loud part
};
// The loud part of `samples` (full scale 1.0), its frequency from the zero
// crossings and its amplitude from the RMS.
Tone measureTone(const std::vector<double>& samples, double rate);
std::vector<double> fromS16(const std::string& bytes);

// The virtual room on the private server: a null sink "air" (16 kHz mono)
// that hears `speakers` through a loopback (60 ms, -6 dB), the acoustic
// path, and a microphone "mic" on its monitor, made the default source.
// Destroying it takes it down and makes `speakers`' monitor the default
// source again.
class Room {
 public:
  explicit Room(const std::string& speakers);
  ~Room();
  Room(const Room&) = delete;
  Room& operator=(const Room&) = delete;
  bool ok() const { return ok_; }
  // Unloads the microphone, as a card unplugged.
  void unplugMicrophone();
  // Another microphone in the room, `name`, as a card plugged in (not made
  // the default); unloaded with the room or by unplug().
  bool plugMicrophone(const std::string& name);
  void unplug(const std::string& name);

  static constexpr const char* kAir = "air";
  static constexpr const char* kMicrophone = "mic";

 private:
  std::string speakers_;
  std::vector<std::string> modules_;                          // loaded, in order
  std::string mic_;                                           // the microphone's module, while loaded
  std::vector<std::pair<std::string, std::string>> plugged_;  // name, module
  bool ok_ = false;
};

// How far `delayed` lags `reference` (s) in the window of `length` samples
// from `from`, by cross-correlation over lags 0 to `maxLag` (s); none when
// the window holds too little of the reference to tell.
std::optional<double> lagSeconds(const std::vector<double>& reference, const std::vector<double>& delayed,
                                 std::size_t from, std::size_t length, double rate, double maxLag);
// Channel `channel` of interleaved frames of `channels`.
std::vector<double> channelOf(const std::vector<double>& interleaved, int channel, int channels);

// A player in a process group of its own, after `delay` (s): a tone on both
// channels of the sink for 30 s, until destroyed.
class Player {
 public:
  Player(const std::string& sink, double hz, double delay);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// Runs `command` in a shell; its standard output.
std::string shell(const std::string& command);

// Recording streams on the server, once a disconnect has had a moment to
// reach it: polls (bounded) until there are `expected`; -1 when pactl fails.
int sourceOutputs(int expected = -1);

}  // namespace audiotap::test
