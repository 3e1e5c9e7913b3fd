// What the Linux end-to-end tests share: the private server, known signals
// played into its null sink, and the analysis of what came back.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace audiotap::testing {

// The server that the test command started (scripts/pulse-server), or none.
struct PrivateServer {
  std::string dir;
  std::string sink;
};
std::optional<PrivateServer> givenServer();
inline constexpr const char* kNoServerReason =
    "no private sound server: run under `eval \"$(scripts/pulse-server start DIR)\"`";

// Starts another private server in `dir` (for the loss cases) and returns the
// client environment it printed; empty on failure.
std::map<std::string, std::string> startServer(const std::string& dir);
void stopServer(const std::string& dir);
// Stops it and deletes `dir`.
void removeServer(const std::string& dir);

// Sets or restores environment variables for the life of the object.
class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, std::string>& values);
  ~ScopedEnv();

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

struct Segment {
  double seconds;
  double frequency;
  double left;  // peak amplitude, 0 to 1
  double right;
};
// Plays the segments as 48 kHz stereo s16le into `sink` through pacat and
// returns once they have been played. Returns false when pacat failed.
bool play(const std::string& sink, const std::vector<Segment>& segments);

struct Tone {
  double frequency = 0;
  double amplitude = 0;
  std::size_t samples = 0;  // length of the loud part
};
// The loud part of `samples` (full scale 1.0), its frequency from the zero
// crossings and its amplitude from the RMS.
Tone measureTone(const std::vector<double>& samples, double rate);

std::vector<double> fromS16(const std::string& bytes);

// Recording streams on the server now; -1 when pactl fails.
int sourceOutputs();
// Polls (bounded) until the server holds `expected` recording streams, as a
// disconnect reaches it a moment after the client has let go.
int settledSourceOutputs(int expected);

}  // namespace audiotap::testing
