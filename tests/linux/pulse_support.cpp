#include "pulse_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <future>
#include <numbers>
#include <regex>

namespace audiotap::test {
namespace {

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    out.append(buffer, n);
  if (pipe != nullptr) pclose(pipe);
  return out;
}

}  // namespace

std::optional<PrivateServer> givenServer() {
  const char* dir = std::getenv("AUDIOTAP_PULSE_DIR");
  const char* sink = std::getenv("AUDIOTAP_PULSE_SINK");
  if (dir == nullptr || sink == nullptr || std::getenv("PULSE_SERVER") == nullptr) return std::nullopt;
  const bool pipewire = std::filesystem::exists(std::string(dir) + "/pipewire.pid");
  return PrivateServer{dir, sink, pipewire ? AUDIOTAP_PIPEWIRE_SERVER_SCRIPT : AUDIOTAP_PULSE_SERVER_SCRIPT};
}

std::map<std::string, std::string> startServer(const PrivateServer& kind, const std::string& dir) {
  const std::string out = run(kind.script + " start '" + dir + "' 2>/dev/null");
  std::map<std::string, std::string> env;
  const std::regex line("export (\\w+)='([^']*)'");
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) env[(*it)[1]] = (*it)[2];
  return env;
}

void stopServer(const PrivateServer& kind, const std::string& dir, bool remove) {
  run(kind.script + " stop '" + dir + "'");
  if (remove) std::filesystem::remove_all(dir);
}

bool play(const std::string& sink, const std::vector<Segment>& segments, Child* capture,
          const std::string& prefix) {
  std::vector<std::int16_t> samples;
  double phase = 0;
  for (const Segment& s : segments) {
    for (std::size_t i = 0; i < std::size_t(s.seconds * 48000); ++i) {
      samples.push_back(std::int16_t(std::lround(std::sin(phase) * s.left * 32767)));
      samples.push_back(std::int16_t(std::lround(std::sin(phase) * s.right * 32767)));
      phase += 2 * std::numbers::pi * s.frequency / 48000;
    }
  }
  char path[] = "/tmp/audiotap-play-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const std::size_t bytes = samples.size() * sizeof(std::int16_t);
  const bool written = write(fd, samples.data(), bytes) == ssize_t(bytes);
  close(fd);
  const std::string command = (prefix.empty() ? "" : prefix + " ") + "pacat --playback --device='" + sink +
                              "' --format=s16le --rate=48000 --channels=2 --latency-msec=100 < " + path;
  auto played = std::async(std::launch::async, [&] { return written && std::system(command.c_str()) == 0; });
  if (capture != nullptr) {
    capture->pumpUntil([&] { return played.wait_for(milliseconds(0)) == std::future_status::ready; });
  }
  const bool ok = played.get();
  unlink(path);
  return ok;
}

Tone measureTone(const std::vector<double>& samples, double rate) {
  Tone tone;
  double loudest = 0;
  for (double x : samples) loudest = std::max(loudest, std::abs(x));
  std::size_t first = 0, last = samples.size();
  while (first < last && std::abs(samples[first]) <= loudest / 4) ++first;
  while (last > first && std::abs(samples[last - 1]) <= loudest / 4) --last;
  tone.samples = last - first;

  // Medians over 50 ms windows, so that a glitch of a loaded machine (a late
  // player leaving a gap) spoils a window or two, not the estimate.
  const auto window = std::size_t(rate / 20);
  std::vector<double> frequencies, amplitudes;
  for (std::size_t start = first + window; start + 2 * window <= last; start += window) {
    double sumSquares = 0, firstCrossing = -1, lastCrossing = -1;
    int crossings = 0;
    for (std::size_t i = start; i < start + window; ++i) {
      sumSquares += samples[i] * samples[i];
      if (samples[i - 1] < 0 && samples[i] >= 0) {
        const double t = double(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
        if (firstCrossing < 0) firstCrossing = t;
        lastCrossing = t;
        ++crossings;
      }
    }
    amplitudes.push_back(std::sqrt(2 * sumSquares / double(window)));
    if (crossings >= 2) frequencies.push_back((crossings - 1) * rate / (lastCrossing - firstCrossing));
  }
  auto median = [](std::vector<double>& v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  tone.frequency = median(frequencies);
  tone.amplitude = median(amplitudes);
  return tone;
}

std::vector<double> fromS16(const std::string& bytes) {
  std::vector<double> samples;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    samples.push_back(std::int16_t(std::uint8_t(bytes[i]) | std::uint8_t(bytes[i + 1]) << 8) / 32768.0);
  }
  return samples;
}

std::string shell(const std::string& command) { return run(command); }

std::optional<double> lagSeconds(const std::vector<double>& reference, const std::vector<double>& delayed,
                                 std::size_t from, std::size_t length, double rate, double maxLag) {
  const auto lags = std::size_t(maxLag * rate);
  if (from + length + lags > delayed.size() || from + length > reference.size()) return std::nullopt;
  double energy = 0;
  for (std::size_t i = from; i < from + length; ++i) energy += reference[i] * reference[i];
  if (energy / double(length) < 1e-6) return std::nullopt;
  std::vector<double> score(lags + 1);
  for (std::size_t lag = 0; lag <= lags; ++lag) {
    double sum = 0;
    for (std::size_t i = from; i < from + length; ++i) sum += reference[i] * delayed[i + lag];
    score[lag] = sum;
  }
  const auto best = std::size_t(std::max_element(score.begin(), score.end()) - score.begin());
  double at = double(best);
  if (best > 0 && best < lags) {
    // The peak between samples, from its neighbours.
    const double a = score[best - 1], b = score[best], c = score[best + 1];
    if (a - 2 * b + c != 0) at += 0.5 * (a - c) / (a - 2 * b + c);
  }
  return at / rate;
}

std::vector<double> channelOf(const std::vector<double>& interleaved, int channel, int channels) {
  std::vector<double> out;
  for (std::size_t i = std::size_t(channel); i < interleaved.size(); i += std::size_t(channels))
    out.push_back(interleaved[i]);
  return out;
}

Room::Room(const std::string& speakers) : speakers_(speakers) {
  auto load = [this](const std::string& arguments) {
    std::string index = trimmed(run("pactl load-module " + arguments + " 2>/dev/null"));
    if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos) return std::string();
    modules_.push_back(index);
    return index;
  };
  if (load(std::string("module-null-sink sink_name=") + kAir + " rate=16000 channels=1").empty()) return;
  const std::string loopback = load("module-loopback source=" + speakers + ".monitor sink=" + kAir +
                                    " latency_msec=60 source_dont_move=true sink_dont_move=true");
  if (loopback.empty()) return;
  const std::string input =
      trimmed(run("pactl list sink-inputs | awk '/^Sink Input #/{i=substr($3,2)} "
                  "/Owner Module: " +
                  loopback + "$/{print i}'"));
  if (input.empty()) return;
  // -6 dB as a linear factor: "-6dB" would be relative, to the volume
  // pipewire-pulse restores for a stream of the name (the last run's), which
  // it may do after the module is loaded: set until it holds.
  bool set = false;
  for (int i = 0; i < 20 && !set; ++i) {
    run("pactl set-sink-input-volume " + input + " 0.501187");
    usleep(100000);
    set = run("pactl list sink-inputs | awk '/^Sink Input #/{i=substr($3,2)} i==\"" + input +
              "\" && /Volume:/{print}'")
              .find("-6.00 dB") != std::string::npos;
  }
  if (!set) return;
  mic_ = load(std::string("module-remap-source master=") + kAir + ".monitor source_name=" + kMicrophone);
  if (mic_.empty()) return;
  ok_ = std::system((std::string("pactl set-default-source ") + kMicrophone).c_str()) == 0;
}

Room::~Room() {
  for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
    run("pactl unload-module " + *it + " 2>/dev/null");
  }
  run("pactl set-default-source " + speakers_ + ".monitor 2>/dev/null");
}

void Room::unplugMicrophone() {
  if (mic_.empty()) return;
  run("pactl unload-module " + mic_ + " 2>/dev/null");
  std::erase(modules_, mic_);
  mic_.clear();
}

bool Room::plugMicrophone(const std::string& name) {
  const std::string index = trimmed(run(std::string("pactl load-module module-remap-source master=") + kAir +
                                        ".monitor source_name=" + name + " 2>/dev/null"));
  if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos) return false;
  modules_.push_back(index);
  plugged_.emplace_back(name, index);
  return true;
}

void Room::unplug(const std::string& name) {
  for (auto it = plugged_.begin(); it != plugged_.end(); ++it) {
    if (it->first != name) continue;
    run("pactl unload-module " + it->second + " 2>/dev/null");
    std::erase(modules_, it->second);
    plugged_.erase(it);
    return;
  }
}

Player::Player(const std::string& sink, double hz, double delay) {
  char command[512];
  std::snprintf(
      command, sizeof command,
      "sleep %.2f; sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 30 sine %.0f vol 0.3 2>/dev/null | "
      "pacat --device='%s' --format=s16le --rate=48000 --channels=2 --latency-msec=20",
      delay, hz, sink.c_str());
  pid_ = ::fork();
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(pid_, pid_);
}

Player::~Player() {
  ::kill(-pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

int sourceOutputs(int expected) {
  int outputs = -1;
  for (int i = 0; i < 50; ++i) {
    const std::string out = run("pactl list short source-outputs 2>/dev/null; echo end");
    if (out.find("end") == std::string::npos) return -1;
    outputs = int(std::count(out.begin(), out.end(), '\n')) - 1;
    if (expected < 0 || outputs == expected) break;
    usleep(50000);
  }
  return outputs;
}

}  // namespace audiotap::test
