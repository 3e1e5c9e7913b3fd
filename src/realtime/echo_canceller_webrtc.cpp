// The canceller from WebRTC's audio processing (0.3): its AEC with the
// extended filter and delay-agnostic mode, which finds the echo's delay
// itself; noise suppression, gain control and the high-pass filter stay off,
// which are the host's business.
#include "realtime/echo_canceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>

namespace audiotap::realtime {
namespace {

class WebRtcEchoCanceller final : public EchoCanceller {
 public:
  WebRtcEchoCanceller(int rate, std::size_t delay) : rate_(rate), samples_(static_cast<std::size_t>(rate / 100)), delay_(delay) {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    apm_.reset(webrtc::AudioProcessing::Create(config));
    if (!apm_) return;
    bool ok = apm_->high_pass_filter()->Enable(false) == 0 && apm_->noise_suppression()->Enable(false) == 0 &&
              apm_->gain_control()->Enable(false) == 0 && apm_->echo_cancellation()->enable_drift_compensation(false) == 0 &&
              apm_->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression) == 0 &&
              apm_->echo_cancellation()->Enable(true) == 0;
    if (!ok) apm_.reset();
    for (webrtc::AudioFrame* frame : {&reference_, &microphone_}) {
      frame->sample_rate_hz_ = rate_;
      frame->num_channels_ = 1;
      frame->samples_per_channel_ = samples_;
    }
  }

  bool ready() const { return apm_ != nullptr; }

  std::size_t frameSamples() const override { return samples_; }

  void analyzeReference(const std::int16_t* frame) noexcept override {
    std::copy(frame, frame + samples_, reference_.data_);
    reference_.sample_rate_hz_ = rate_;
    reference_.num_channels_ = 1;
    reference_.samples_per_channel_ = samples_;
    apm_->ProcessReverseStream(&reference_);
  }

  bool processMicrophone(std::int16_t* frame) noexcept override {
    std::copy(frame, frame + samples_, microphone_.data_);
    microphone_.sample_rate_hz_ = rate_;
    microphone_.num_channels_ = 1;
    microphone_.samples_per_channel_ = samples_;
    // Delay-agnostic mode finds the delay itself, but each frame still needs one set.
    apm_->set_stream_delay_ms(0);
    if (apm_->ProcessStream(&microphone_) != webrtc::AudioProcessing::kNoError) return false;
    std::copy(microphone_.data_, microphone_.data_ + samples_, frame);
    return true;
  }

  std::size_t delaySamples() const override { return delay_; }

 private:
  int rate_;
  std::size_t samples_;
  std::size_t delay_;
  std::unique_ptr<webrtc::AudioProcessing> apm_;
  webrtc::AudioFrame reference_;
  webrtc::AudioFrame microphone_;
};

}  // namespace

bool echoCancellerBuilt() { return true; }

std::unique_ptr<EchoCanceller> makeEchoCanceller(double rate) {
  // How far its output lags its input at each rate it works at, measured
  // (the cross-correlation's peak): 112 samples in its 16 kHz core, more
  // where it splits the band.
  struct Known {
    double rate;
    std::size_t delay;
  };
  static constexpr Known kKnown[] = {{8000, 112}, {16000, 112}, {32000, 228}, {48000, 382}};
  for (const Known& known : kKnown) {
    if (known.rate != rate) continue;
    auto canceller = std::make_unique<WebRtcEchoCanceller>(static_cast<int>(rate), known.delay);
    if (!canceller->ready()) return nullptr;
    return canceller;
  }
  return nullptr;
}

}  // namespace audiotap::realtime
