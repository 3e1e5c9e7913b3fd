#include "platform/sim/media.h"

#include <charconv>
#include <string>

namespace audiotap::platform::sim {
namespace {

using platform::AudioFormat;
using platform::ConverterOutputStatus;
using platform::PcmBuffer;

std::string numberText(double number) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, number);
  return std::string(text, result.ptr);
}

class SimConverter final : public platform::Converter {
 public:
  SimConverter(std::unique_ptr<platform::Converter> inner, const Script& script)
      : inner_(std::move(inner)), outcome_(script.convert), error_{script.convertMessage} {}

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<platform::ConverterError>* error,
                                platform::ConverterInputBlock input) override {
    switch (outcome_) {
      case ConvertOutcome::Error:
        takeInput(input);
        output.setFrameLength(0);
        if (error) *error = error_;
        return ConverterOutputStatus::Error;
      case ConvertOutcome::NoFrames:
        takeInput(input);
        output.setFrameLength(0);
        return ConverterOutputStatus::HaveData;
      case ConvertOutcome::RanDry: {
        const ConverterOutputStatus status = inner_->convert(output, error, input);
        if (status == ConverterOutputStatus::Error || output.frameLength() == 0) return status;
        return ConverterOutputStatus::InputRanDry;
      }
      case ConvertOutcome::Normal:
        break;
    }
    return inner_->convert(output, error, input);
  }

 private:
  // Asks for input as a real converter would, so the caller's input block runs
  // both ways: once handing the buffer over, once having nothing more.
  static void takeInput(platform::ConverterInputBlock input) {
    auto status = platform::ConverterInputStatus::HaveData;
    for (int asked = 0; asked < 2 && status == platform::ConverterInputStatus::HaveData; ++asked)
      input(1, &status);
  }

  std::unique_ptr<platform::Converter> inner_;
  ConvertOutcome outcome_;
  platform::ConverterError error_;
};

class SimMedia final : public platform::Media {
 public:
  SimMedia(std::unique_ptr<platform::Media> inner, const Script& script, const Trace& trace)
      : inner_(std::move(inner)), script_(script), trace_(trace) {}

  std::unique_ptr<AudioFormat> formatWithStreamDescription(const platform::StreamDescription* d) override {
    trace_.line("AVAudioFormat initWithStreamDescription " + numberText(d->mSampleRate) + " " +
                std::to_string(d->mChannelsPerFrame) + " " + std::to_string(d->mBytesPerFrame) + " " +
                std::to_string(d->mFormatFlags));
    if (script_.mediaFailure == MediaFailure::TapFormat) return nullptr;
    return inner_->formatWithStreamDescription(d);
  }

  std::unique_ptr<AudioFormat> formatWithCommonFormat(platform::CommonFormat format, double sampleRate,
                                                      std::uint32_t channels, bool interleaved) override {
    trace_.line("AVAudioFormat initWithCommonFormat " + std::to_string(int(format)) + " " +
                numberText(sampleRate) + " " + std::to_string(channels) + " " + (interleaved ? "1" : "0"));
    if (script_.mediaFailure == MediaFailure::OutputFormat) return nullptr;
    return inner_->formatWithCommonFormat(format, sampleRate, channels, interleaved);
  }

  std::unique_ptr<platform::Converter> makeConverter(const AudioFormat& from,
                                                     const AudioFormat& to) override {
    trace_.line("AVAudioConverter initFromFormat");
    if (script_.mediaFailure == MediaFailure::Converter) return nullptr;
    auto converter = inner_->makeConverter(from, to);
    if (!converter || script_.convert == ConvertOutcome::Normal) return converter;
    return std::make_unique<SimConverter>(std::move(converter), script_);
  }

  std::unique_ptr<PcmBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                                  const platform::AudioBufferList* list) override {
    return inner_->wrapBufferListNoCopy(format, list);
  }

  std::unique_ptr<PcmBuffer> makeWrapper(const AudioFormat& format, std::uint32_t frameCapacity) override {
    return inner_->makeWrapper(format, frameCapacity);
  }

  std::unique_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override {
    return inner_->makeBuffer(format, frameCapacity);
  }

 private:
  std::unique_ptr<platform::Media> inner_;
  const Script& script_;
  const Trace& trace_;
};

}  // namespace

std::unique_ptr<platform::Media> makeSimMedia(std::unique_ptr<platform::Media> inner, const Script& script,
                                              const Trace& trace) {
  return std::make_unique<SimMedia>(std::move(inner), script, trace);
}

}  // namespace audiotap::platform::sim
