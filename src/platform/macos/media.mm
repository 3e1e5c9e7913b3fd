#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>

#include <cmath>

#include "platform/macos/backend.h"

namespace audiotap::platform::macos {
namespace {

static_assert(sizeof(StreamDescription) == sizeof(AudioStreamBasicDescription));
static_assert(offsetof(StreamDescription, mBytesPerFrame) ==
              offsetof(AudioStreamBasicDescription, mBytesPerFrame));
static_assert(int(CommonFormat::Int16) == AVAudioPCMFormatInt16);
static_assert(int(CommonFormat::Float32) == AVAudioPCMFormatFloat32);
static_assert(int(ConverterInputStatus::HaveData) == AVAudioConverterInputStatus_HaveData);
static_assert(int(ConverterInputStatus::NoDataNow) == AVAudioConverterInputStatus_NoDataNow);
static_assert(int(ConverterInputStatus::EndOfStream) == AVAudioConverterInputStatus_EndOfStream);
static_assert(int(ConverterOutputStatus::HaveData) == AVAudioConverterOutputStatus_HaveData);
static_assert(int(ConverterOutputStatus::InputRanDry) == AVAudioConverterOutputStatus_InputRanDry);
static_assert(int(ConverterOutputStatus::EndOfStream) == AVAudioConverterOutputStatus_EndOfStream);
static_assert(int(ConverterOutputStatus::Error) == AVAudioConverterOutputStatus_Error);

class MacAudioFormat final : public AudioFormat {
 public:
  explicit MacAudioFormat(AVAudioFormat* format) : format_(format) {}
  AVAudioFormat* format() const { return format_; }
  // AVAudioPCMBuffer raises an exception for any other format.
  bool isPCM() const { return format_.streamDescription->mFormatID == kAudioFormatLinearPCM; }

 private:
  AVAudioFormat* format_;
};

class MacPcmBuffer final : public PcmBuffer {
 public:
  explicit MacPcmBuffer(AVAudioPCMBuffer* buffer) : buffer_(buffer) {}
  AVAudioPCMBuffer* buffer() const { return buffer_; }

  std::uint32_t frameLength() const override { return buffer_.frameLength; }
  // Past the capacity AVAudioPCMBuffer raises an exception.
  void setFrameLength(std::uint32_t frames) override {
    buffer_.frameLength = std::min<AVAudioFrameCount>(frames, buffer_.frameCapacity);
  }
  std::int16_t* const* int16ChannelData() const override { return buffer_.int16ChannelData; }

 private:
  AVAudioPCMBuffer* buffer_;
};

class MacConverter final : public Converter {
 public:
  explicit MacConverter(AVAudioConverter* converter) : converter_(converter) {}

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<ConverterError>* error,
                                ConverterInputBlock input) override {
    // Every PcmBuffer in this binary comes from MacMedia.
    AVAudioPCMBuffer* outputBuffer = static_cast<MacPcmBuffer&>(output).buffer();
    AVAudioConverterInputBlock inputBlock =
        ^AVAudioBuffer*(AVAudioPacketCount packetCount, AVAudioConverterInputStatus* outStatus) {
      ConverterInputStatus status = ConverterInputStatus::NoDataNow;
      PcmBuffer* buffer = input(packetCount, &status);
      *outStatus = static_cast<AVAudioConverterInputStatus>(status);
      return buffer != nullptr ? static_cast<MacPcmBuffer*>(buffer)->buffer() : nil;
    };
    NSError* conversionError = nil;
    AVAudioConverterOutputStatus status = AVAudioConverterOutputStatus_Error;
    // A format mismatch raises instead of failing; it must not unwind into
    // the HAL's IO thread.
    @try {
      status = [converter_ convertToBuffer:outputBuffer error:&conversionError withInputFromBlock:inputBlock];
    } @catch (NSException* exception) {
      if (error != nullptr) *error = ConverterError{toString(exception.reason)};
      return ConverterOutputStatus::Error;
    }
    if (conversionError != nil && error != nullptr) {
      *error = ConverterError{toString(conversionError.localizedDescription)};
    }
    return static_cast<ConverterOutputStatus>(status);
  }

 private:
  AVAudioConverter* converter_;
};

const MacAudioFormat& ours(const AudioFormat& format) { return static_cast<const MacAudioFormat&>(format); }

class MacMedia final : public Media {
 public:
  std::unique_ptr<AudioFormat> formatWithStreamDescription(const StreamDescription* description) override {
    if (description == nullptr) return nullptr;
    AVAudioFormat* format = nil;
    @try {
      format = [[AVAudioFormat alloc]
          initWithStreamDescription:reinterpret_cast<const AudioStreamBasicDescription*>(description)];
    } @catch (NSException*) {
      format = nil;
    }
    return wrap(format);
  }

  std::unique_ptr<AudioFormat> formatWithCommonFormat(CommonFormat commonFormat, double sampleRate,
                                                      std::uint32_t channels, bool interleaved) override {
    // AVAudioFormat asserts, rather than returning nil, on these.
    if (!(std::isfinite(sampleRate) && sampleRate > 0.0) || channels == 0) return nullptr;
    AVAudioFormat* format = nil;
    @try {
      format = [[AVAudioFormat alloc] initWithCommonFormat:static_cast<AVAudioCommonFormat>(commonFormat)
                                                sampleRate:sampleRate
                                                  channels:channels
                                               interleaved:interleaved];
    } @catch (NSException*) {
      format = nil;
    }
    return wrap(format);
  }

  std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
    AVAudioConverter* converter = nil;
    @try {
      converter = [[AVAudioConverter alloc] initFromFormat:ours(from).format() toFormat:ours(to).format()];
    } @catch (NSException*) {
      converter = nil;
    }
    if (converter == nil) return nullptr;
    return std::make_unique<MacConverter>(converter);
  }

  std::unique_ptr<PcmBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                                  const AudioBufferList* list) override {
    if (list == nullptr || !ours(format).isPCM()) return nullptr;
    AVAudioPCMBuffer* buffer =
        [[AVAudioPCMBuffer alloc] initWithPCMFormat:ours(format).format()
                                   bufferListNoCopy:reinterpret_cast<const ::AudioBufferList*>(list)
                                        deallocator:nil];
    if (buffer == nil) return nullptr;
    return std::make_unique<MacPcmBuffer>(buffer);
  }

  std::unique_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, std::uint32_t frameCapacity) override {
    if (!ours(format).isPCM()) return nullptr;
    AVAudioPCMBuffer* buffer = [[AVAudioPCMBuffer alloc] initWithPCMFormat:ours(format).format()
                                                             frameCapacity:frameCapacity];
    if (buffer == nil) return nullptr;
    return std::make_unique<MacPcmBuffer>(buffer);
  }

 private:
  static std::unique_ptr<AudioFormat> wrap(AVAudioFormat* format) {
    if (format == nil) return nullptr;
    return std::make_unique<MacAudioFormat>(format);
  }
};

}  // namespace

std::unique_ptr<Media> makeMedia() { return std::make_unique<MacMedia>(); }

}  // namespace audiotap::platform::macos
