#include "pulse_support.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace audiotap::testing {

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

}  // namespace

std::optional<PrivateServer> givenServer() {
  const char* dir = std::getenv("AUDIOTAP_PULSE_DIR");
  const char* sink = std::getenv("AUDIOTAP_PULSE_SINK");
  if (dir == nullptr || sink == nullptr || std::getenv("PULSE_SERVER") == nullptr) return std::nullopt;
  return PrivateServer{dir, sink};
}

std::map<std::string, std::string> startServer(const std::string& dir) {
  std::map<std::string, std::string> env;
  const std::string out = run(std::string(AUDIOTAP_PULSE_SERVER_SCRIPT) + " start '" + dir + "'");
  std::size_t at = 0;
  while ((at = out.find("export ", at)) != std::string::npos) {
    const std::size_t eq = out.find('=', at);
    const std::size_t end = out.find('\n', eq);
    std::string value = out.substr(eq + 1, end - eq - 1);
    if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
    env[out.substr(at + 7, eq - at - 7)] = value;
    at = end;
  }
  return env;
}

void stopServer(const std::string& dir) {
  run(std::string(AUDIOTAP_PULSE_SERVER_SCRIPT) + " stop '" + dir + "'");
}

void removeServer(const std::string& dir) {
  stopServer(dir);
  std::filesystem::remove_all(dir);
}

ScopedEnv::ScopedEnv(const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv(name.c_str(), value.c_str(), 1);
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
}

bool play(const std::string& sink, const std::vector<Segment>& segments) {
  constexpr double kRate = 48000;
  std::vector<std::int16_t> samples;
  double phase = 0;
  for (const Segment& s : segments) {
    const auto frames = std::size_t(s.seconds * kRate);
    for (std::size_t i = 0; i < frames; ++i) {
      const double x = std::sin(phase);
      phase += 2 * std::numbers::pi * s.frequency / kRate;
      samples.push_back(std::int16_t(std::lround(x * s.left * 32767)));
      samples.push_back(std::int16_t(std::lround(x * s.right * 32767)));
    }
  }
  char path[] = "/tmp/audiotap-play-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return false;
  const std::size_t bytes = samples.size() * sizeof(std::int16_t);
  const bool written = write(fd, samples.data(), bytes) == ssize_t(bytes);
  close(fd);
  const std::string command = "pacat --playback --device='" + sink +
                              "' --format=s16le --rate=48000 --channels=2 --latency-msec=100 < " + path;
  const bool ok = written && std::system(command.c_str()) == 0;
  unlink(path);
  return ok;
}

Tone measureTone(const std::vector<double>& samples, double rate) {
  Tone tone;
  double loudest = 0;
  for (double x : samples) loudest = std::max(loudest, std::abs(x));
  if (loudest == 0) return tone;
  std::size_t first = 0, last = samples.size();
  while (first < last && std::abs(samples[first]) < loudest / 4) ++first;
  while (last > first && std::abs(samples[last - 1]) < loudest / 4) --last;
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
  std::vector<double> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto low = std::uint8_t(bytes[2 * i]);
    const auto high = std::uint8_t(bytes[2 * i + 1]);
    samples[i] = std::int16_t(std::uint16_t(low | (high << 8))) / 32768.0;
  }
  return samples;
}

int sourceOutputs() {
  const std::string out = run("pactl list short source-outputs 2>/dev/null; echo end");
  if (out.find("end") == std::string::npos) return -1;
  return int(std::count(out.begin(), out.end(), '\n')) - 1;
}

int settledSourceOutputs(int expected) {
  int outputs = sourceOutputs();
  for (int i = 0; i < 50 && outputs != expected; ++i) {
    usleep(50000);
    outputs = sourceOutputs();
  }
  return outputs;
}

}  // namespace audiotap::testing
