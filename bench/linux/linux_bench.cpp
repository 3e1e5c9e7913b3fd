// Figures for audiotap on a PulseAudio-protocol server, each beside parec's
// under the same conditions: start-up, burst latency, CPU (its own and the
// server's above an idle baseline), peak resident memory, the delivered rate
// and, on PipeWire (PIPEWIRE_RUNTIME_DIR set), the graph's quantum while it
// captures. Prints a table; asserts nothing.
//
//   linux_bench AUDIOTAP SINK SERVER_PID[,PID...] [CPU_SECONDS]
#include <pulse/simple.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A capturing process with its three pipes; stdout is scanned for the first
// loud sample after each burst, stderr for "ready".
class Capturer {
 public:
  explicit Capturer(const std::vector<std::string>& argv) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    outReader_ = std::thread([this, fd = out[0]] { readOutput(fd); });
    errReader_ = std::thread([this, fd = err[0]] { readEvents(fd); });
  }

  ~Capturer() { stop(); }

  void stop() {
    if (pid_ > 0) {
      close(in_);
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
  }

  pid_t pid() const { return pid_; }

  // Bytes read so far and when the last of them came.
  std::pair<std::uint64_t, Clock::time_point> progress() {
    std::lock_guard lock(mutex_);
    return {bytes_, lastByte_};
  }

  // Milliseconds from exec to the first byte and to "ready" (negative: none).
  double firstByte(std::chrono::milliseconds limit) { return waitFor(firstByte_, limit); }
  double ready(std::chrono::milliseconds limit) { return waitFor(ready_, limit); }

  void arm() { armed_.store(true); }
  // When the first loud sample after arm() arrived, or nothing after `limit`.
  std::optional<Clock::time_point> detected(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, limit, [this] { return !armed_.load(); })) {
      armed_.store(false);
      return std::nullopt;
    }
    return detectedAt_;
  }

 private:
  double waitFor(std::optional<Clock::time_point>& at, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return at.has_value(); });
    return at ? ms(*at - started_) : -1;
  }

  void readOutput(int fd) {
    std::uint8_t buffer[8192];
    std::uint8_t carry = 0;
    bool hasCarry = false;
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
      const auto now = Clock::now();
      std::lock_guard lock(mutex_);
      if (!firstByte_) firstByte_ = now;
      bytes_ += std::uint64_t(n);
      lastByte_ = now;
      for (ssize_t i = 0; i < n; ++i) {
        if (!hasCarry) {
          carry = buffer[i];
          hasCarry = true;
          continue;
        }
        hasCarry = false;
        const auto sample = std::int16_t(std::uint16_t(carry | (buffer[i] << 8)));
        if (armed_.load() && std::abs(int(sample)) > 8000) {
          detectedAt_ = now;
          armed_.store(false);
        }
      }
      changed_.notify_all();
    }
    close(fd);
  }

  void readEvents(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
      const auto now = Clock::now();
      text.append(buffer, std::size_t(n));
      std::lock_guard lock(mutex_);
      if (!ready_ && text.find("\"ready\"") != std::string::npos) ready_ = now;
      changed_.notify_all();
    }
    close(fd);
  }

  pid_t pid_ = -1;
  int in_ = -1;
  Clock::time_point started_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> firstByte_, ready_, detectedAt_;
  std::atomic<bool> armed_{false};
  std::uint64_t bytes_ = 0;
  Clock::time_point lastByte_;
  std::thread outReader_, errReader_;
};

// Plays into the sink without a gap: silence, a continuous tone, or on
// request one 50 ms burst, noting when it was written and how much audio the
// playback side still held ahead of it.
class Player {
 public:
  explicit Player(const std::string& sink, pa_usec_t latency = 20000) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, 48000, 2};
    pa_buffer_attr attr{std::uint32_t(-1), std::uint32_t(pa_usec_to_bytes(latency, &format)), std::uint32_t(-1),
                        std::uint32_t(-1), std::uint32_t(-1)};
    stream_ = pa_simple_new(nullptr, "audiotap-bench", PA_STREAM_PLAYBACK, sink.c_str(), "bursts", &format,
                            nullptr, &attr, nullptr);
    if (stream_ != nullptr) thread_ = std::thread([this] { run(); });
  }
  ~Player() {
    quit_.store(true);
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr) pa_simple_free(stream_);
  }
  bool ok() const { return stream_ != nullptr; }
  void tone(bool on) { tone_.store(on); }
  // Blocks until the burst has been written.
  void burst(Clock::time_point* writtenAt, double* playbackMs) {
    std::unique_lock lock(mutex_);
    burstWanted_ = true;
    done_.wait(lock, [this] { return !burstWanted_; });
    *writtenAt = writtenAt_;
    *playbackMs = playbackMs_;
  }

 private:
  void run() {
    constexpr int kChunk = 240;  // 5 ms
    std::vector<std::int16_t> chunk(2 * kChunk);
    double phase = 0;
    int burstLeft = 0;
    while (!quit_.load()) {
      bool starting = false;
      {
        std::lock_guard lock(mutex_);
        if (burstWanted_ && burstLeft == 0) {
          burstLeft = 10;
          starting = true;
        }
      }
      const bool loud = burstLeft > 0 || tone_.load();
      for (int i = 0; i < kChunk; ++i) {
        const auto s = loud ? std::int16_t(std::lround(std::sin(phase) * 0.8 * 32767)) : std::int16_t(0);
        phase += 2 * std::numbers::pi * 1000 / 48000;
        chunk[2 * i] = chunk[2 * i + 1] = s;
      }
      if (starting) {
        const pa_usec_t latency = pa_simple_get_latency(stream_, nullptr);
        std::lock_guard lock(mutex_);
        playbackMs_ = latency / 1000.0;
        writtenAt_ = Clock::now();
      }
      if (pa_simple_write(stream_, chunk.data(), chunk.size() * 2, nullptr) < 0) return;
      if (burstLeft > 0 && --burstLeft == 0) {
        std::lock_guard lock(mutex_);
        burstWanted_ = false;
        done_.notify_all();
      }
    }
  }

  pa_simple* stream_ = nullptr;
  std::thread thread_;
  std::atomic<bool> quit_{false}, tone_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  bool burstWanted_ = false;
  Clock::time_point writtenAt_;
  double playbackMs_ = 0;
};

struct Cpu {
  double user = 0, system = 0;
};

Cpu cpuOfOne(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;
  while (rest >> field) fields.push_back(field);
  if (fields.size() < 13) return {};
  const double tick = double(sysconf(_SC_CLK_TCK));
  return {std::stod(fields[11]) / tick, std::stod(fields[12]) / tick};  // utime, stime
}

// The server may be several processes (pipewire, pipewire-pulse, wireplumber).
double cpuOf(const std::vector<pid_t>& pids) {
  double total = 0;
  for (pid_t pid : pids) {
    const Cpu c = cpuOfOne(pid);
    total += c.user + c.system;
  }
  return total;
}

double peakResidentMb(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return NAN;
}

struct Figures {
  explicit Figures(std::string n) : name(std::move(n)) {}
  std::string name;
  std::vector<double> ready, firstByte, latency, playback;
  int missed = 0;
  double cpu = NAN, serverCpu = NAN, peakMb = NAN, rate = NAN, quantum = NAN;
};

// The PipeWire graph's quantum in frames at 48 kHz, the most common over a
// second of pw-profiler's cycles (its fourth column: the quantum in µs);
// nothing when not on PipeWire.
double graphQuantum() {
  if (std::getenv("PIPEWIRE_RUNTIME_DIR") == nullptr) return NAN;
  // pw-profiler also leaves plot scripts in its working directory.
  char dir[] = "/tmp/audiotap-bench-profile-XXXXXX";
  if (mkdtemp(dir) == nullptr) return NAN;
  const std::string path = std::string(dir) + "/profile.log";
  const std::string command =
      std::string("cd ") + dir + " && timeout 1 pw-profiler -o profile.log >/dev/null 2>&1";
  if (std::system(command.c_str()) < 0) return NAN;
  std::ifstream file(path);
  std::vector<double> quanta;
  for (std::string line; std::getline(file, line);) {
    std::istringstream fields(line);
    double column[4];
    if (fields >> column[0] >> column[1] >> column[2] >> column[3]) quanta.push_back(column[3]);
  }
  std::filesystem::remove_all(dir);
  if (quanta.empty()) return NAN;
  std::sort(quanta.begin(), quanta.end());
  return std::round(quanta[quanta.size() / 2] * 48000 / 1e6);
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}
double maximum(const std::vector<double>& v) {
  return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

void measureStartup(const std::vector<std::string>& argv, Figures& f, int runs) {
  for (int i = 0; i < runs; ++i) {
    Capturer c(argv);
    const double first = c.firstByte(10s);
    if (first >= 0) f.firstByte.push_back(first);
    const double ready = c.ready(1ms);
    if (ready >= 0) f.ready.push_back(ready);
  }
}

void measureLatency(const std::vector<std::string>& argv, Player& player, Figures& f, int bursts) {
  Capturer c(argv);
  if (c.firstByte(10s) < 0) return;
  std::this_thread::sleep_for(500ms);
  for (int i = 0; i < bursts; ++i) {
    c.arm();
    Clock::time_point writtenAt;
    double playbackMs = 0;
    player.burst(&writtenAt, &playbackMs);
    const auto seen = c.detected(5s);
    if (!seen) {
      ++f.missed;
      continue;
    }
    f.latency.push_back(ms(*seen - writtenAt));
    f.playback.push_back(playbackMs);
    std::this_thread::sleep_for(150ms);
  }
}

// The server's CPU per minute while the tone plays and nothing captures.
double serverBaseline(Player& player, const std::vector<pid_t>& server, int seconds) {
  player.tone(true);
  const double before = cpuOf(server);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double after = cpuOf(server);
  player.tone(false);
  return (after - before) * 60.0 / seconds;
}

void measureCpu(const std::vector<std::string>& argv, Player& player, const std::vector<pid_t>& server,
                Figures& f, int seconds, double baseline) {
  player.tone(true);
  Capturer c(argv);
  c.firstByte(10s);
  std::this_thread::sleep_for(500ms);
  const double server0 = cpuOf(server);
  const double own0 = cpuOf({c.pid()});
  const auto [bytes0, at0] = c.progress();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto [bytes1, at1] = c.progress();
  const double own1 = cpuOf({c.pid()});
  const double server1 = cpuOf(server);
  f.peakMb = peakResidentMb(c.pid());
  c.stop();
  player.tone(false);
  const double scale = 60.0 / seconds;
  f.cpu = (own1 - own0) * scale;
  f.serverCpu = (server1 - server0) * scale - baseline;
  f.rate = double(bytes1 - bytes0) / 2 / std::chrono::duration<double>(at1 - at0).count();
}

// The graph's quantum while `argv` captures and a player that asks for a
// relaxed buffer plays, so that only the capture can pull the quantum down.
void measureQuantum(const std::vector<std::string>& argv, Figures& f) {
  Capturer c(argv);
  c.firstByte(10s);
  std::this_thread::sleep_for(500ms);
  f.quantum = graphQuantum();
}

void row(const char* label, const std::vector<Figures>& all, double (*value)(const Figures&),
         const char* unit) {
  std::printf("%-38s", label);
  for (const Figures& f : all) {
    const double v = value(f);
    if (std::isnan(v)) {
      std::printf("%18s", "-");
    } else {
      std::printf("%14.1f %-3s", v, unit);
    }
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s AUDIOTAP SINK SERVER_PID [CPU_SECONDS]\n", argv[0]);
    return 2;
  }
  const std::string audiotap = argv[1], sink = argv[2];
  std::vector<pid_t> server;
  for (std::stringstream pids(argv[3]); pids.good();) {
    std::string pid;
    std::getline(pids, pid, ',');
    if (!pid.empty()) server.push_back(pid_t(std::stol(pid)));
  }
  const int cpuSeconds = argc > 4 ? std::stoi(argv[4]) : 60;
  const std::string monitor = "--device=" + sink + ".monitor";
  const std::vector<std::vector<std::string>> commands = {
      {audiotap, "--rate", "16000"},
      {"parec", monitor, "--format=s16le", "--rate=16000", "--channels=1", "--latency-msec=20"},
      {"parec", monitor, "--format=s16le", "--rate=16000", "--channels=1"},
      // The process filter keeping only the player's stream, which this
      // process plays.
      {audiotap, "--rate", "16000", "--include-pid", std::to_string(::getpid())},
  };
  std::vector<Figures> all{Figures("audiotap"), Figures("parec 20 ms"), Figures("parec default"),
                           Figures("audiotap filtered")};
  // parec's default latency is slow to start and to deliver: fewer rounds, no CPU.
  const auto full = [](std::size_t i) { return i != 2; };

  double baseline = 0;
  {
    Player player(sink);
    if (!player.ok()) {
      std::fprintf(stderr, "linux_bench: cannot play into %s\n", sink.c_str());
      return 1;
    }
    std::fprintf(stderr, "measuring the server's idle baseline...\n");
    baseline = serverBaseline(player, server, cpuSeconds);
    for (std::size_t i = 0; i < commands.size(); ++i) {
      std::fprintf(stderr, "measuring %s...\n", all[i].name.c_str());
      measureStartup(commands[i], all[i], full(i) ? 10 : 3);
      measureLatency(commands[i], player, all[i], full(i) ? 20 : 5);
      if (full(i)) measureCpu(commands[i], player, server, all[i], cpuSeconds, baseline);
    }
  }
  double idleQuantum = NAN;
  if (std::getenv("PIPEWIRE_RUNTIME_DIR") != nullptr) {
    Player relaxed(sink, 200000);
    relaxed.tone(true);
    std::this_thread::sleep_for(500ms);
    idleQuantum = graphQuantum();
    for (std::size_t i = 0; i < commands.size(); ++i) {
      if (full(i)) measureQuantum(commands[i], all[i]);
    }
  }

  std::printf("%-38s", "");
  for (const Figures& f : all) std::printf("%18s", f.name.c_str());
  std::printf("\n");
  row(
      "start-up: exec to ready, median", all, [](const Figures& f) { return median(f.ready); }, "ms");
  row(
      "start-up: exec to first byte, median", all, [](const Figures& f) { return median(f.firstByte); },
      "ms");
  row(
      "start-up: exec to first byte, max", all, [](const Figures& f) { return maximum(f.firstByte); }, "ms");
  row(
      "burst latency, median", all, [](const Figures& f) { return median(f.latency); }, "ms");
  row(
      "burst latency, max", all, [](const Figures& f) { return maximum(f.latency); }, "ms");
  row(
      "  of which playback side, median", all, [](const Figures& f) { return median(f.playback); }, "ms");
  row(
      "  capture side (total - playback)", all,
      [](const Figures& f) {
        std::vector<double> capture;
        for (std::size_t i = 0; i < f.latency.size(); ++i) capture.push_back(f.latency[i] - f.playback[i]);
        return median(capture);
      },
      "ms");
  row(
      "bursts missed", all, [](const Figures& f) { return double(f.missed); }, "");
  row(
      "CPU user+sys per minute", all, [](const Figures& f) { return f.cpu; }, "s");
  row(
      "server CPU above idle, same minute", all, [](const Figures& f) { return f.serverCpu; }, "s");
  row(
      "capturer + server", all, [](const Figures& f) { return f.cpu < 0 ? -1 : f.cpu + f.serverCpu; }, "s");
  row(
      "peak resident memory", all, [](const Figures& f) { return f.peakMb; }, "MB");
  std::printf("%-38s", "delivered rate, frames/s");
  for (const Figures& f : all) {
    if (std::isnan(f.rate)) {
      std::printf("%18s", "-");
    } else {
      std::printf("%11.1f %+.3f%%", f.rate, (f.rate / 16000 - 1) * 100);
    }
  }
  std::printf("\n");
  row(
      "graph quantum while capturing", all, [](const Figures& f) { return f.quantum; }, "fr");
  std::printf(
      "(%d bursts of 50 ms, 1 kHz at 0.8 each; CPU over %d s of capture scaled to a minute; server idle"
      " baseline %.1f s per minute",
      20, cpuSeconds, baseline);
  if (!std::isnan(idleQuantum)) {
    std::printf("; quantum in frames at 48 kHz with a player asking 200 ms, %.0f with nothing capturing",
                idleQuantum);
  }
  std::printf(")\n");
  return 0;
}
