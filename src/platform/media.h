// Formats, PCM buffers and the converter, with the contract of AVAudioFormat,
// AVAudioPCMBuffer and AVAudioConverter, so that the IO block is the same code
// on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/function_ref.h"
#include "platform/types.h"

namespace audiotap::platform {

class AudioFormat {
 public:
  virtual ~AudioFormat() = default;
};

class PcmBuffer {
 public:
  virtual ~PcmBuffer() = default;
  virtual std::uint32_t frameLength() const = 0;
  // At most the buffer's capacity.
  virtual void setFrameLength(std::uint32_t frames) = 0;
  // One pointer per channel when the buffer holds 16-bit integers, else null.
  virtual std::int16_t* const* int16ChannelData() const = 0;
  // A buffer from Media::makeWrapper only: points it at `count` buffers of
  // memory it does not own (the format's buffer count), with no copy and no
  // allocation, and sets the frame length to the frames they hold. False when
  // they do not have the format's shape or hold more than the capacity.
  virtual bool rewrap(const AudioBuffer* buffers, std::uint32_t count) {
    (void)buffers, (void)count;
    return false;
  }
};

enum class CommonFormat : int { Float32 = 1, Float64 = 2, Int16 = 3, Int32 = 4 };

enum class ConverterInputStatus : int { HaveData = 0, NoDataNow = 1, EndOfStream = 2 };
enum class ConverterOutputStatus : int { HaveData = 0, InputRanDry = 1, EndOfStream = 2, Error = 3 };

// A converter's own words about a failure, cut to a fixed size so that
// filling one never allocates.
struct ConverterError {
  ConverterError() = default;
  explicit ConverterError(std::string_view text) {
    std::size_t n = text.size() < sizeof description - 1 ? text.size() : sizeof description - 1;
    // A cut never splits a UTF-8 sequence.
    if (n < text.size()) {
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    text.copy(description, n);
    description[n] = '\0';
    length = n;
  }
  std::string_view localizedDescription() const { return {description, length}; }

  char description[256] = {};
  std::size_t length = 0;
};

// Asked for input during a conversion. Sets *status; returns the buffer to
// read (kept by the caller, valid until the conversion returns) or null.
using ConverterInputBlock = FunctionRef<PcmBuffer*(std::uint32_t packetCount, ConverterInputStatus* status)>;

class Converter {
 public:
  virtual ~Converter() = default;
  // Fills `output` (its frame length is set to the frames written), asking
  // `input` for data as it needs it. Keeps its state, and any input it could
  // not yet use, from one call to the next. On failure it may fill `error`.
  virtual ConverterOutputStatus convert(PcmBuffer& output, std::optional<ConverterError>* error,
                                        ConverterInputBlock input) = 0;
};

class Media {
 public:
  virtual ~Media() = default;
  // Each returns null when the platform refuses the arguments.
  virtual std::unique_ptr<AudioFormat> formatWithStreamDescription(const StreamDescription* description) = 0;
  virtual std::unique_ptr<AudioFormat> formatWithCommonFormat(CommonFormat format, double sampleRate,
                                                              std::uint32_t channels, bool interleaved) = 0;
  virtual std::unique_ptr<Converter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
  // Wraps the delivered memory in place: no copy, and the memory stays the
  // caller's. Frame length starts at the capacity the list implies.
  virtual std::unique_ptr<PcmBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                                          const AudioBufferList* list) = 0;
  // A buffer for up to `frameCapacity` frames that holds no audio of its own
  // until rewrap() points it at some: made once, so that wrapping each
  // delivery allocates nothing.
  virtual std::unique_ptr<PcmBuffer> makeWrapper(const AudioFormat& format, std::uint32_t frameCapacity) = 0;
  virtual std::unique_ptr<PcmBuffer> makeBuffer(const AudioFormat& format, std::uint32_t frameCapacity) = 0;
};

}  // namespace audiotap::platform
