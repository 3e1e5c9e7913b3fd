// Figures for the software converter: speed in times real time on one core,
// alias rejection, passband flatness and added latency, for the inputs a
// Linux machine usually delivers. Run with --qualities 4,5,6,7 to compare
// resampler qualities.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/soft/converter.h"
#include "platform/soft/pcm.h"
#include "platform/soft/resampler.h"
#include "platform/soft/media.h"

#include "platform/output.h"
#include "realtime/io_block.h"
#include "realtime/meter.h"
#include "realtime/pcm_writer.h"

namespace {

using audiotap::platform::AudioBufferList;
using audiotap::platform::CommonFormat;
using audiotap::platform::ConverterInputStatus;
using audiotap::platform::PcmBuffer;
using audiotap::platform::soft::Layout;

constexpr double kOutRate = 16000;

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

std::vector<float> tone(double hz, double rate, std::size_t frames, double amplitude) {
  std::vector<float> out(frames);
  for (std::size_t i = 0; i < frames; ++i)
    out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate));
  return out;
}

// Amplitude of the component at a whole number of hertz in a window of exactly
// one second, where every such component has whole cycles.
double amplitudeAt(const float* x, std::size_t rate, double hz) {
  double c = 0, s = 0;
  for (std::size_t i = 0; i < rate; ++i) {
    const double phase = 2 * std::numbers::pi * hz * double(i) / double(rate);
    c += x[i] * std::cos(phase);
    s += x[i] * std::sin(phase);
  }
  const double scale = (hz == 0 || 2 * hz == double(rate)) ? 1.0 : 2.0;
  return std::hypot(c, s) * scale / double(rate);
}

double rms(const float* x, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += double(x[i]) * x[i];
  return std::sqrt(sum / double(n));
}

// The resampler alone, in float: int16 output cannot show anything 96 dB down.
std::vector<float> resampleFloat(double inRate, int quality, const std::vector<float>& in) {
  auto resampler = audiotap::platform::soft::Resampler::make(inRate, kOutRate, quality);
  std::vector<float> out(std::size_t(double(in.size()) * kOutRate / inRate) + 16);
  std::size_t done = 0, made = 0;
  while (done < in.size() && made < out.size()) {
    std::uint32_t consumed = std::uint32_t(std::min<std::size_t>(480, in.size() - done));
    std::uint32_t produced = std::uint32_t(out.size() - made);
    resampler->process(in.data() + done, consumed, out.data() + made, produced);
    done += consumed;
    made += produced;
  }
  out.resize(made);
  return out;
}

struct Quality {
  double worstAliasDb;  // highest output level for a full-scale stopband tone, dB below it
  double worstAliasHz;
  double passbandLowDb;
  double passbandHighDb;
};

Quality measureQuality(double inRate, int quality) {
  Quality q{1e9, 0, 0, -1e9};
  q.passbandLowDb = 1e9;
  const std::size_t frames = std::size_t(inRate * 1.25);
  const std::size_t skip = std::size_t(kOutRate / 8);
  const double topHz = std::min(24000.0, inRate / 2 - 50);
  // Anything at the output from a tone above 1.05 x Nyquist is alias.
  for (double hz = 8400; hz <= topHz; hz += 50) {
    const auto out = resampleFloat(inRate, quality, tone(hz, inRate, frames, 1.0));
    const double db = -20 * std::log10(rms(out.data() + skip, std::size_t(kOutRate)) / std::sqrt(0.5));
    if (db < q.worstAliasDb) q.worstAliasDb = db, q.worstAliasHz = hz;
  }
  for (double hz = 50; hz <= 7000; hz += 50) {
    const auto out = resampleFloat(inRate, quality, tone(hz, inRate, frames, 1.0));
    const double db = 20 * std::log10(amplitudeAt(out.data() + skip, std::size_t(kOutRate), hz));
    q.passbandLowDb = std::min(q.passbandLowDb, db);
    q.passbandHighDb = std::max(q.passbandHighDb, db);
  }
  return q;
}

// The converter driven as the IO block drives it: wrap the delivered list,
// make an output buffer, convert once.
struct Driver {
  Layout in;
  Layout out{CommonFormat::Int16, kOutRate, 1, true};
  std::unique_ptr<audiotap::platform::Converter> converter;
  std::vector<std::int16_t> produced;

  Driver(double rate, std::uint32_t channels, int quality) : in{CommonFormat::Float32, rate, channels, true} {
    converter = audiotap::platform::soft::makeConverter(in, out, quality);
    if (!converter) std::fprintf(stderr, "no converter for %g Hz x %u\n", rate, channels), std::exit(1);
  }

  // Returns the frames converted.
  std::uint32_t call(const float* interleaved, std::uint32_t frames) {
    AudioBufferList list{1,
                         {{in.channels, std::uint32_t(frames * in.channels * sizeof(float)),
                           const_cast<float*>(interleaved)}}};
    auto input = audiotap::platform::soft::SoftBuffer::wrap(in, &list);
    input->setFrameLength(frames);
    auto output =
        audiotap::platform::soft::SoftBuffer::make(out, std::uint32_t(std::ceil(frames * kOutRate / in.rate) + 16));
    bool consumed = false;
    std::optional<audiotap::platform::ConverterError> error;
    converter->convert(*output, &error, [&](std::uint32_t, ConverterInputStatus* status) -> PcmBuffer* {
      *status = consumed ? ConverterInputStatus::NoDataNow : ConverterInputStatus::HaveData;
      if (consumed) return nullptr;
      consumed = true;
      return input.get();
    });
    const std::int16_t* samples = output->int16ChannelData()[0];
    produced.insert(produced.end(), samples, samples + output->frameLength());
    return output->frameLength();
  }
};

std::vector<float> interleave(const std::vector<float>& mono, std::uint32_t channels) {
  std::vector<float> out(mono.size() * channels);
  for (std::size_t i = 0; i < mono.size(); ++i) std::fill_n(out.begin() + i * channels, channels, mono[i]);
  return out;
}

struct Speed {
  double timesRealTime;
  double microsPerCall;
  int peakResidue;  // |int16| peak for a full-scale 8.4 kHz tone
};

Speed measureSpeed(double rate, std::uint32_t channels, int quality) {
  const std::uint32_t block = std::uint32_t(rate / 100);
  const double seconds = 20;
  const auto input = interleave(tone(8400, rate, std::size_t(rate * seconds), 1.0), channels);
  double best = 1e9;
  int residue = 0;
  for (int round = 0; round < 5; ++round) {
    Driver driver(rate, channels, quality);
    driver.produced.reserve(std::size_t(kOutRate * seconds) + 64);
    const double start = threadSeconds();
    for (std::size_t first = 0; first + block <= input.size() / channels; first += block) {
      driver.call(input.data() + first * channels, block);
    }
    best = std::min(best, threadSeconds() - start);
    residue = 0;
    for (std::size_t i = std::size_t(kOutRate / 10); i < driver.produced.size(); ++i) {
      residue = std::max(residue, std::abs(int(driver.produced[i])));
    }
  }
  return {seconds / best, best / (seconds * 100) * 1e6, residue};
}

struct Latency {
  double totalMs;   // input frame in until its sound comes out of a call
  double streamMs;  // where it sits in the output stream against the input
};

// One input frame per call, so the measure is the converter's alone and not
// the size of the blocks it is handed.
Latency measureLatency(double rate, std::uint32_t channels, int quality) {
  Driver driver(rate, channels, quality);
  const std::size_t frames = std::size_t(rate * 0.3);
  const std::size_t click = std::size_t(rate * 0.1);
  std::vector<float> mono(frames, 0.f);
  mono[click] = 0.9f;
  const auto input = interleave(mono, channels);
  int peak = -1;
  std::size_t peakIndex = 0, peakCall = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::size_t before = driver.produced.size();
    driver.call(input.data() + i * channels, 1);
    for (std::size_t k = before; k < driver.produced.size(); ++k) {
      if (std::abs(int(driver.produced[k])) > peak)
        peak = std::abs(int(driver.produced[k])), peakIndex = k, peakCall = i;
    }
  }
  return {double(peakCall - click) / rate * 1e3, (double(peakIndex) / kOutRate - double(click) / rate) * 1e3};
}

const char* verdict(bool met) { return met ? "meets" : "MISSES"; }

void report(const char* name, double rate, std::uint32_t channels, int quality) {
  const Speed speed = measureSpeed(rate, channels, quality);
  const Latency latency = measureLatency(rate, channels, quality);
  const Quality q = measureQuality(rate, quality);
  const double passbandError = std::max(-q.passbandLowDb, q.passbandHighDb);
  std::printf("%s, quality %d\n", name, quality);
  std::printf("  speed     %6.0fx real time, %5.2f us per 10 ms call    %s >= 2000x\n", speed.timesRealTime,
              speed.microsPerCall, verdict(speed.timesRealTime >= 2000));
  std::printf("  alias     %6.1f dB down, worst at %5.0f Hz          %s >= 100 dB\n", q.worstAliasDb,
              q.worstAliasHz, verdict(q.worstAliasDb >= 100));
  std::printf("  passband  %+.2f .. %+.2f dB up to 7 kHz            %s within 0.5 dB\n", q.passbandLowDb,
              q.passbandHighDb, verdict(passbandError <= 0.5));
  std::printf("  latency   %6.2f ms (stream offset %+.2f ms)        %s <= 5 ms\n", latency.totalMs,
              latency.streamMs, verdict(latency.totalMs <= 5));
  std::printf("  int16 output for a full-scale 8.4 kHz tone: peak %d LSB\n", speed.peakResidue);
}

class NullOutput final : public audiotap::platform::OutputHandle {
 public:
  bool writeAll(const void*, std::size_t size) override {
    bytes += size;
    return true;
  }
  void synchronize() override {}
  std::size_t bytes = 0;
};

// The whole IO block per delivered buffer: wrap, output buffer, conversion
// and the hand-over to the writer, which writes to a handle that drops the
// bytes on a thread of its own.
class ThreadQueue final : public audiotap::platform::Queue {
 public:
  void async(std::function<void()> task) override { thread = std::thread(std::move(task)); }
  bool drain(std::chrono::milliseconds) override {
    if (thread.joinable()) thread.join();
    return true;
  }
  std::thread thread;
};

void reportIoBlock() {
  const double rate = 48000, seconds = 20;
  const std::uint32_t block = 480;
  const auto input = tone(1000, rate, std::size_t(rate * seconds), 0.5);
  auto media = audiotap::platform::soft::makeSoftMedia();
  double best = 1e9;
  std::int64_t frames = 0;
  for (int round = 0; round < 5; ++round) {
    NullOutput output;
    audiotap::realtime::Meter meter;
    audiotap::realtime::PcmWriter writer(kOutRate, 4, output, meter);
    ThreadQueue writerQueue;
    writerQueue.async([&] { writer.run(); });
    audiotap::realtime::TapConversion conversion;
    conversion.tapStreamFormat = {
        rate,
        audiotap::platform::kAudioFormatLinearPCM,
        audiotap::platform::kAudioFormatFlagIsFloat | audiotap::platform::kAudioFormatFlagIsPacked,
        4,
        1,
        4,
        1,
        32,
        0};
    conversion.tapFormat = media->formatWithStreamDescription(&conversion.tapStreamFormat);
    auto outputFormat = media->formatWithCommonFormat(CommonFormat::Int16, kOutRate, 1, true);
    conversion.converter = media->makeConverter(*conversion.tapFormat, *outputFormat);
    audiotap::realtime::IoBlock io(std::move(conversion), std::move(outputFormat), *media, kOutRate, writer);
    const double start = threadSeconds();
    for (std::size_t first = 0; first + block <= input.size(); first += block) {
      AudioBufferList list{1, {{1, block * 4, const_cast<float*>(input.data() + first)}}};
      io(&list);
    }
    best = std::min(best, threadSeconds() - start);
    frames = writer.finish(writerQueue, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  }
  std::printf(
      "IO block, 48 kHz float mono in 480-frame calls: %.2f us/call (%.0fx real time), %lld samples written\n",
      best / (seconds * 100) * 1e6, seconds / best, static_cast<long long>(frames));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> qualities = {audiotap::platform::soft::kResamplerQuality};
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--qualities") == 0) {
      qualities.clear();
      for (char* p = argv[i + 1]; *p;) {
        qualities.push_back(int(std::strtol(p, &p, 10)));
        if (*p == ',') ++p;
      }
    }
  }
  std::printf(
      "Converter to 16 kHz int16 mono, fed 10 ms calls as the IO block does. Speed: thread CPU time, best "
      "of\n"
      "5 runs of 20 s. Alias: output level for full-scale tones from 8.4 kHz to 24 kHz (or the input's\n"
      "Nyquist) in 50 Hz steps, on the float resampler output. Passband: gain of tones from 50 Hz to 7 kHz.\n"
      "Latency: a click fed one frame per call, from the frame that carries it to the call that returns its\n"
      "peak; stream offset: where the peak sits in the output against the click in the input.\n\n");
  for (const int quality : qualities) {
    report("48 kHz float mono", 48000, 1, quality);
    report("44.1 kHz float mono", 44100, 1, quality);
    report("48 kHz float stereo", 48000, 2, quality);
  }
  reportIoBlock();
  return 0;
}
