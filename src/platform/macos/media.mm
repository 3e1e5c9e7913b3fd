#import <AVFAudio/AVFAudio.h>
#import <Foundation/Foundation.h>

#include <cmath>
#include <cstddef>
#include <new>

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
  // A wrapper: `buffer` was made over `backing`, memory that only gives it
  // its capacity, and rewrap() points it elsewhere.
  MacPcmBuffer(AVAudioPCMBuffer* buffer, std::unique_ptr<std::byte[]> backing)
      : backing_(std::move(backing)), buffer_(buffer) {}
  AVAudioPCMBuffer* buffer() const { return buffer_; }

  std::uint32_t frameLength() const override { return buffer_.frameLength; }
  // Past the capacity AVAudioPCMBuffer raises an exception.
  void setFrameLength(std::uint32_t frames) override {
    buffer_.frameLength = std::min<AVAudioFrameCount>(frames, buffer_.frameCapacity);
  }
  std::int16_t* const* int16ChannelData() const override { return buffer_.int16ChannelData; }

  // Writes the buffer list the converter reads in place: no object is made.
  // frameLength then sets every mDataByteSize to match.
  bool rewrap(const AudioBuffer* buffers, std::uint32_t count) override {
    ::AudioBufferList* list = backing_ ? buffer_.mutableAudioBufferList : nullptr;
    const std::uint32_t frameBytes = buffer_.format.streamDescription->mBytesPerFrame;
    if (list == nullptr || buffers == nullptr || count != list->mNumberBuffers || frameBytes == 0)
      return false;
    std::uint32_t frames = buffers[0].mDataByteSize / frameBytes;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (buffers[i].mData == nullptr || buffers[i].mNumberChannels != list->mBuffers[i].mNumberChannels)
        return false;
      frames = std::min(frames, buffers[i].mDataByteSize / frameBytes);
    }
    if (frames > buffer_.frameCapacity) return false;
    for (std::uint32_t i = 0; i < count; ++i) list->mBuffers[i].mData = buffers[i].mData;
    buffer_.frameLength = frames;
    return true;
  }

 private:
  // Declared first so that it outlives the buffer made over it.
  std::unique_ptr<std::byte[]> backing_;
  AVAudioPCMBuffer* buffer_;
};

class MacConverter final : public Converter {
 public:
  explicit MacConverter(AVAudioConverter* converter) : converter_(converter) {
    // Made once: AVAudioConverter copies the block it is given, and copying a
    // block that is already on the heap only retains it.
    MacConverter* self = this;
    inputBlock_ = [^AVAudioBuffer*(AVAudioPacketCount packetCount, AVAudioConverterInputStatus* outStatus) {
      ConverterInputStatus status = ConverterInputStatus::NoDataNow;
      PcmBuffer* buffer = self->input_ != nullptr ? (*self->input_)(packetCount, &status) : nullptr;
      *outStatus = static_cast<AVAudioConverterInputStatus>(status);
      return buffer != nullptr ? static_cast<MacPcmBuffer*>(buffer)->buffer() : nil;
    } copy];
  }
  MacConverter(const MacConverter&) = delete;
  MacConverter& operator=(const MacConverter&) = delete;

  ConverterOutputStatus convert(PcmBuffer& output, std::optional<ConverterError>* error,
                                ConverterInputBlock input) override {
    // Every PcmBuffer in this binary comes from MacMedia.
    AVAudioPCMBuffer* outputBuffer = static_cast<MacPcmBuffer&>(output).buffer();
    input_ = &input;
    NSError* conversionError = nil;
    AVAudioConverterOutputStatus status = AVAudioConverterOutputStatus_Error;
    // A format mismatch raises instead of failing; it must not unwind into
    // the HAL's IO thread.
    @try {
      status = [converter_ convertToBuffer:outputBuffer
                                     error:&conversionError
                        withInputFromBlock:inputBlock_];
    } @catch (NSException* exception) {
      input_ = nullptr;
      if (error != nullptr) *error = describe(exception.reason);
      return ConverterOutputStatus::Error;
    }
    input_ = nullptr;
    // The caller asks for the words only when a run of failures begins: they
    // cost an allocation.
    if (conversionError != nil && error != nullptr) *error = describe(conversionError.localizedDescription);
    return static_cast<ConverterOutputStatus>(status);
  }

 private:
  static ConverterError describe(NSString* text) {
    const char* utf8 = text.UTF8String;
    return ConverterError(utf8 != nullptr ? std::string_view(utf8) : std::string_view());
  }

  AVAudioConverter* converter_;
  AVAudioConverterInputBlock inputBlock_;
  // The call's input block while a conversion runs.
  ConverterInputBlock* input_ = nullptr;
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

  // initWithPCMFormat:bufferListNoCopy: takes its capacity from the list it is
  // given, and refuses null memory: the wrapper is made over memory of its own
  // size once, and each delivery only re-points it.
  std::unique_ptr<PcmBuffer> makeWrapper(const AudioFormat& format, std::uint32_t frameCapacity) override {
    if (!ours(format).isPCM() || frameCapacity == 0) return nullptr;
    AVAudioFormat* avFormat = ours(format).format();
    const AudioStreamBasicDescription* description = avFormat.streamDescription;
    const std::uint32_t buffers = avFormat.isInterleaved ? 1 : description->mChannelsPerFrame;
    const std::uint64_t bufferBytes = std::uint64_t(frameCapacity) * description->mBytesPerFrame;
    if (buffers == 0 || bufferBytes == 0 || bufferBytes * buffers > (std::uint64_t(1) << 30)) return nullptr;
    // The list and its memory in one block, kept for the buffer's life.
    const std::size_t listBytes =
        (offsetof(::AudioBufferList, mBuffers) + sizeof(::AudioBuffer) * buffers + 15) / 16 * 16;
    std::unique_ptr<std::byte[]> backing(new (std::nothrow) std::byte[listBytes + bufferBytes * buffers]);
    if (!backing) return nullptr;
    auto* list = reinterpret_cast<::AudioBufferList*>(backing.get());
    list->mNumberBuffers = buffers;
    const std::uint32_t channelsPerBuffer = avFormat.isInterleaved ? description->mChannelsPerFrame : 1;
    for (std::uint32_t i = 0; i < buffers; ++i) {
      list->mBuffers[i] = {channelsPerBuffer, std::uint32_t(bufferBytes),
                           backing.get() + listBytes + i * bufferBytes};
    }
    AVAudioPCMBuffer* buffer = nil;
    @try {
      buffer = [[AVAudioPCMBuffer alloc] initWithPCMFormat:avFormat bufferListNoCopy:list deallocator:nil];
    } @catch (NSException*) {
      buffer = nil;
    }
    if (buffer == nil) return nullptr;
    return std::make_unique<MacPcmBuffer>(buffer, std::move(backing));
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
