// The echo canceller's figures, offline, through EchoStage as the writer runs
// it: a far voice played into a synthetic room (direct path and an
// exponential tail, RT60 300 ms, echo 6 dB down, noise at -65 dBFS) and a
// near voice at the microphone, in stretches of far only, near only and both.
//
//   echo_bench FAR.raw NEAR.raw [--hold-back-sweep]
//
// The voices: 16 kHz s16le mono (bench/echo/run makes them with espeak-ng).
// Prints each figure beside what it must reach; never fails on a figure.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "realtime/echo_stage.h"

#ifdef AUDIOTAP_BENCH_SPEEX
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#endif

using audiotap::realtime::EchoCanceller;
using audiotap::realtime::EchoStage;

namespace {

constexpr int kRate = 16000;
constexpr std::size_t kFrame = kRate / 100;

std::vector<float> readVoice(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::int16_t> samples;
  std::int16_t s;
  while (in.read(reinterpret_cast<char*>(&s), sizeof s)) samples.push_back(s);
  std::vector<float> voice(samples.begin(), samples.end());
  // Scaled so its speech (the louder half of its 10 ms frames) is at -20 dBFS.
  std::vector<double> energies;
  for (std::size_t f = 0; f + kFrame <= voice.size(); f += kFrame) {
    double e = 0;
    for (std::size_t i = f; i < f + kFrame; ++i) e += double(voice[i]) * voice[i];
    energies.push_back(e / kFrame);
  }
  std::sort(energies.begin(), energies.end());
  double speech = 0;
  for (std::size_t i = energies.size() / 2; i < energies.size(); ++i) speech += energies[i];
  speech /= double(energies.size() - energies.size() / 2);
  const double gain = 32768 * std::pow(10.0, -20 / 20.0) / std::sqrt(std::max(speech, 1.0));
  for (float& v : voice) v = float(v * gain);
  return voice;
}

// `seconds` of a voice, looped.
std::vector<float> loop(const std::vector<float>& voice, double seconds) {
  std::vector<float> out(std::size_t(seconds * kRate));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = voice[i % voice.size()];
  return out;
}

// The room's response from the speaker to the microphone, its delay apart:
// a direct path and a decaying diffuse tail, 6 dB down in all.
std::vector<float> roomResponse() {
  const double rt60 = 0.3;
  std::vector<float> h(std::size_t(rt60 * kRate));
  std::mt19937 random(7);
  std::normal_distribution<double> normal;
  h[0] = 1;
  for (std::size_t i = 24; i < h.size(); ++i) {
    h[i] = float(0.25 * normal(random) * std::exp(-6.9 * double(i) / kRate / rt60));
  }
  double energy = 0;
  for (float v : h) energy += double(v) * v;
  const double gain = std::pow(10.0, -6 / 20.0) / std::sqrt(energy);
  for (float& v : h) v = float(v * gain);
  return h;
}

std::vector<float> convolve(const std::vector<float>& x, const std::vector<float>& h) {
  std::vector<float> y(x.size(), 0.0f);
  for (std::size_t k = 0; k < h.size(); ++k) {
    const float g = h[k];
    if (g == 0) continue;
    for (std::size_t i = k; i < x.size(); ++i) y[i] += g * x[i - k];
  }
  return y;
}

// The echo heard at the microphone: `room` (the far voice through the room)
// read `delay(i)` samples late and at a clock off by `ppm`.
std::vector<float> echoOf(const std::vector<float>& room, const std::function<double(std::size_t)>& delay, double ppm) {
  std::vector<float> out(room.size(), 0.0f);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double at = double(i) * (1 + ppm * 1e-6) - delay(i);
    if (at < 0) continue;
    const std::size_t j = std::size_t(at);
    if (j + 1 >= room.size()) continue;
    const double frac = at - double(j);
    out[i] = float(room[j] * (1 - frac) + room[j + 1] * frac);
  }
  return out;
}

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Run {
  std::vector<float> microphoneIn;   // as it entered, aligned with the output
  std::vector<float> microphoneOut;  // out of the stage, moved back by its latency
  double cpuSeconds = 0;
  double worstFrameSeconds = 0;
};

// Runs [far, mic] through a stage, 10 ms at a time as the writer would with
// small reads, and aligns the output with the input.
Run runStage(std::unique_ptr<EchoCanceller> canceller, std::size_t holdBackMs, const std::vector<float>& far,
             const std::vector<float>& microphone) {
  EchoStage stage(std::move(canceller), holdBackMs);
  const auto clip = [](float v) { return std::int16_t(std::lround(std::clamp(v, -32768.0f, 32767.0f))); };
  std::vector<std::int16_t> in(2 * kFrame);
  Run run;
  run.microphoneIn.resize(far.size());
  std::vector<float> out;
  out.reserve(far.size());
  for (std::size_t at = 0; at + kFrame <= far.size(); at += kFrame) {
    for (std::size_t i = 0; i < kFrame; ++i) {
      in[2 * i] = clip(far[at + i]);
      in[2 * i + 1] = clip(microphone[at + i]);
      run.microphoneIn[at + i] = in[2 * i + 1];
    }
    const double before = threadSeconds();
    const auto got = stage.process(in.data(), kFrame);
    const double took = threadSeconds() - before;
    run.cpuSeconds += took;
    run.worstFrameSeconds = std::max(run.worstFrameSeconds, took);
    for (std::size_t i = 1; i < got.size(); i += 2) out.push_back(got[i]);
  }
  const std::size_t latency = stage.latencyFrames();
  run.microphoneOut.assign(run.microphoneIn.size(), 0.0f);
  for (std::size_t i = 0; i + latency < out.size(); ++i) run.microphoneOut[i] = out[i + latency];
  return run;
}

double energy(const std::vector<float>& x, double from, double to) {
  double e = 0;
  for (std::size_t i = std::size_t(from * kRate); i < std::min(x.size(), std::size_t(to * kRate)); ++i) e += double(x[i]) * x[i];
  return e;
}

double erle(const Run& run, double from, double to) {
  return 10 * std::log10(energy(run.microphoneIn, from, to) / std::max(energy(run.microphoneOut, from, to), 1e-9));
}

double dot(const std::vector<float>& a, const std::vector<float>& b, double from, double to) {
  double s = 0;
  for (std::size_t i = std::size_t(from * kRate); i < std::size_t(to * kRate); ++i) s += double(a[i]) * b[i];
  return s;
}

std::vector<float> noise(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> normal(0.0f, float(32768 * std::pow(10.0, -65 / 20.0)));
  std::vector<float> out(n);
  for (float& v : out) v = normal(random);
  return out;
}

std::vector<float> sum(std::initializer_list<const std::vector<float>*> parts) {
  std::vector<float> out((*parts.begin())->size(), 0.0f);
  for (const auto* part : parts) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += (*part)[i];
  }
  return out;
}

#ifdef AUDIOTAP_BENCH_SPEEX
// speexdsp's canceller and its residual echo suppressor, as a peer: a 300 ms
// tail; the suppressor's overlap-add delays its output by one frame.
class SpeexCanceller final : public EchoCanceller {
 public:
  SpeexCanceller()
      : echo_(speex_echo_state_init(int(kFrame), int(0.3 * kRate))),
        preprocess_(speex_preprocess_state_init(int(kFrame), kRate)),
        reference_(kFrame),
        out_(kFrame) {
    int rate = kRate;
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    int off = 0;
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &off);
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
  }
  ~SpeexCanceller() override {
    speex_preprocess_state_destroy(preprocess_);
    speex_echo_state_destroy(echo_);
  }
  std::size_t frameSamples() const override { return kFrame; }
  void analyzeReference(const std::int16_t* frame) noexcept override {
    std::copy(frame, frame + kFrame, reference_.begin());
  }
  bool processMicrophone(std::int16_t* frame) noexcept override {
    speex_echo_cancellation(echo_, frame, reference_.data(), out_.data());
    speex_preprocess_run(preprocess_, out_.data());
    std::copy(out_.begin(), out_.end(), frame);
    return true;
  }
  std::size_t delaySamples() const override { return kFrame; }

 private:
  SpeexEchoState* echo_;
  SpeexPreprocessState* preprocess_;
  std::vector<std::int16_t> reference_;
  std::vector<std::int16_t> out_;
};
#endif

struct Canceller {
  const char* name;
  std::function<std::unique_ptr<EchoCanceller>()> make;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: echo_bench FAR.raw NEAR.raw [--hold-back-sweep]\n");
    return 2;
  }
  if (!audiotap::realtime::echoCancellerBuilt()) {
    std::printf("this build has no echo canceller: no figures\n");
    return 0;
  }
  const bool sweep = argc > 3 && std::strcmp(argv[3], "--hold-back-sweep") == 0;
  const std::vector<float> farVoice = readVoice(argv[1]);
  std::vector<float> nearVoice = readVoice(argv[2]);
  for (float& v : nearVoice) v *= 0.5f;  // a talker nearer than the speakers' echo, but no louder than the far end

  std::vector<Canceller> cancellers = {{"WebRTC 0.3", [] { return audiotap::realtime::makeEchoCanceller(kRate); }}};
#ifdef AUDIOTAP_BENCH_SPEEX
  cancellers.push_back({"speexdsp+pre", [] { return std::make_unique<SpeexCanceller>(); }});
#endif
  const std::size_t holdBack = EchoStage::kHoldBackMs;
  const std::vector<float> room = roomResponse();

  // Far only 0-20 s, near only 20-30 s, both 30-45 s; the echo 20 ms after
  // the sound leaves.
  const double seconds = 45;
  std::vector<float> far = loop(farVoice, seconds);
  std::vector<float> near = loop(nearVoice, seconds);
  for (std::size_t i = std::size_t(20 * kRate); i < std::size_t(30 * kRate); ++i) far[i] = 0;
  for (std::size_t i = 0; i < std::size_t(20 * kRate); ++i) near[i] = 0;
  const std::vector<float> roomed = convolve(far, room);
  const auto at = [](double ms) { return [ms](std::size_t) { return ms * kRate / 1000; }; };
  const std::vector<float> hiss = noise(far.size(), 3);
  const std::vector<float> echo = echoOf(roomed, at(20), 0);
  const std::vector<float> microphone = sum({&echo, &near, &hiss});
  const std::vector<float> nearHeard = sum({&near, &hiss});

  // Far only, the first 20 s, for drift, the delay jump and other delays.
  const std::vector<float> far20(far.begin(), far.begin() + 20 * kRate);
  const std::vector<float> roomed20(roomed.begin(), roomed.begin() + 20 * kRate);
  const std::vector<float> hiss20 = noise(far20.size(), 4);
  const auto farOnly = [&](const std::function<double(std::size_t)>& delay, double ppm) {
    const std::vector<float> e = echoOf(roomed20, delay, ppm);
    return sum({&e, &hiss20});
  };

  struct Row {
    std::string figure;
    std::string require;
    std::vector<double> values;
    std::function<bool(double)> met;
    int decimals;
  };
  std::vector<Row> rows = {
      {"ERLE, far end only (dB)", ">= 30", {}, [](double v) { return v >= 30; }, 1},
      {"ERLE, +100 ppm drift (dB)", ">= 25", {}, [](double v) { return v >= 25; }, 1},
      {"ERLE, -100 ppm drift (dB)", ">= 25", {}, [](double v) { return v >= 25; }, 1},
      {"ERLE 2-5 s after the delay jumps 100 -> 40 ms (dB)", ">= 30", {}, [](double v) { return v >= 30; }, 1},
      {"near end only: level loss (dB)", "<= 0.5", {}, [](double v) { return v <= 0.5; }, 2},
      {"near end only: correlation with the clean voice", ">= 0.9", {}, [](double v) { return v >= 0.9; }, 3},
      {"double talk: near talker's gain (dB)", ">= -12", {}, [](double v) { return v >= -12; }, 1},
      {"CPU of the canceller, one core (%)", "<= 2", {}, [](double v) { return v <= 2; }, 2},
      {"worst 10 ms frame, thread CPU time (ms)", "< 2", {}, [](double v) { return v < 2; }, 3},
  };
  std::vector<std::vector<double>> delaySweep;
  for (const Canceller& c : cancellers) {
    const Run main = runStage(c.make(), holdBack, far, microphone);
    rows[0].values.push_back(erle(main, 10, 20));
    const Run up = runStage(c.make(), holdBack, far20, farOnly(at(20), 100));
    const Run down = runStage(c.make(), holdBack, far20, farOnly(at(20), -100));
    rows[1].values.push_back(erle(up, 10, 20));
    rows[2].values.push_back(erle(down, 10, 20));
    const Run jump = runStage(c.make(), holdBack, far20,
                              farOnly([](std::size_t i) { return i < std::size_t(10 * kRate) ? 0.1 * kRate : 0.04 * kRate; }, 0));
    rows[3].values.push_back(erle(jump, 12, 15));
    const double clean = energy(nearHeard, 22, 30);
    rows[4].values.push_back(10 * std::log10(clean / std::max(energy(main.microphoneOut, 22, 30), 1e-9)));
    rows[5].values.push_back(dot(main.microphoneOut, near, 22, 30) /
                             std::sqrt(energy(main.microphoneOut, 22, 30) * energy(near, 22, 30)));
    rows[6].values.push_back(20 * std::log10(std::max(dot(main.microphoneOut, near, 32, 45) / energy(near, 32, 45), 1e-9)));
    rows[7].values.push_back(100 * main.cpuSeconds / seconds);
    rows[8].values.push_back(1000 * main.worstFrameSeconds);
    // ERLE as the echo comes later after the sound leaves, hold-back as shipped.
    std::vector<double> byDelay;
    for (const double ms : {0.0, 20.0, 40.0, 60.0, 80.0}) {
      byDelay.push_back(erle(runStage(c.make(), holdBack, far20, farOnly(at(ms), 0)), 10, 20));
    }
    delaySweep.push_back(byDelay);
  }

  std::printf("echo canceller, offline at %d Hz through EchoStage (microphone held back %zu ms); echo 20 ms after the"
              " sound leaves unless said, RT60 300 ms, -6 dB, noise -65 dBFS\n",
              kRate, holdBack);
  std::printf("%-52s %-8s", "figure", "require");
  for (const Canceller& c : cancellers) std::printf(" %14s", c.name);
  std::printf("\n");
  for (const Row& row : rows) {
    std::printf("%-52s %-8s", row.figure.c_str(), row.require.c_str());
    for (std::size_t i = 0; i < row.values.size(); ++i) {
      char cell[64];
      std::snprintf(cell, sizeof cell, "%.*f %s", row.decimals, row.values[i],
                    i == 0 ? (row.met(row.values[i]) ? "met" : "NOT met") : "");
      std::printf(" %14s", cell);
    }
    std::printf("\n");
  }
  for (std::size_t d = 0; d < 5; ++d) {
    char figure[64];
    std::snprintf(figure, sizeof figure, "ERLE, echo %d ms after the sound leaves (dB)", int(d) * 20);
    std::printf("%-52s %-8s", figure, "");
    for (const auto& byDelay : delaySweep) std::printf(" %14.1f", byDelay[d]);
    std::printf("\n");
  }

  if (sweep) {
    std::printf("\nhold-back sweep, WebRTC: ERLE (dB) far end only by hold-back (rows) and echo delay (columns; -20: the reference 20 ms late)\n%10s", "");
    const double delays[] = {-20, 0, 20, 40, 60, 80, 100};
    for (double ms : delays) std::printf(" %7.0f ms", ms);
    std::printf("\n");
    for (const std::size_t hold : {0, 10, 20, 30, 40}) {
      std::printf("%7zu ms", hold);
      for (double ms : delays) {
        std::printf(" %10.1f", erle(runStage(cancellers[0].make(), hold, far20, farOnly(at(ms), 0)), 10, 20));
      }
      std::printf("\n");
    }
  }
  return 0;
}
