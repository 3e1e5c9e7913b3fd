#include "platform/soft/media.h"

#include "platform/soft/converter.h"
#include "platform/soft/pcm.h"

namespace audiotap::platform::soft {
namespace {

using platform::AudioFormat;

const Layout* layoutOf(const AudioFormat& format) {
  const auto* soft = dynamic_cast<const SoftFormat*>(&format);
  return soft == nullptr ? nullptr : &soft->layout();
}

std::unique_ptr<AudioFormat> formatOf(const std::optional<Layout>& layout) {
  if (!layout) return nullptr;
  return std::make_unique<SoftFormat>(*layout);
}

class SoftMedia final : public platform::Media {
 public:
  std::unique_ptr<AudioFormat> formatWithStreamDescription(
      const platform::StreamDescription* description) override {
    return formatOf(layoutFromStreamDescription(description));
  }

  std::unique_ptr<AudioFormat> formatWithCommonFormat(platform::CommonFormat format, double sampleRate,
                                                      std::uint32_t channels, bool interleaved) override {
    return formatOf(layoutFromCommonFormat(format, sampleRate, channels, interleaved));
  }

  std::unique_ptr<platform::Converter> makeConverter(const AudioFormat& from,
                                                     const AudioFormat& to) override {
    const Layout* in = layoutOf(from);
    const Layout* out = layoutOf(to);
    if (in == nullptr || out == nullptr) return nullptr;
    return soft::makeConverter(*in, *out);
  }

  std::unique_ptr<platform::PcmBuffer> wrapBufferListNoCopy(const AudioFormat& format,
                                                            const platform::AudioBufferList* list) override {
    const Layout* layout = layoutOf(format);
    if (layout == nullptr) return nullptr;
    return SoftBuffer::wrap(*layout, list);
  }

  std::unique_ptr<platform::PcmBuffer> makeWrapper(const AudioFormat& format,
                                                   std::uint32_t frameCapacity) override {
    const Layout* layout = layoutOf(format);
    if (layout == nullptr) return nullptr;
    return SoftBuffer::makeWrapper(*layout, frameCapacity);
  }

  std::unique_ptr<platform::PcmBuffer> makeBuffer(const AudioFormat& format,
                                                  std::uint32_t frameCapacity) override {
    const Layout* layout = layoutOf(format);
    if (layout == nullptr) return nullptr;
    return SoftBuffer::make(*layout, frameCapacity);
  }
};

}  // namespace

std::unique_ptr<platform::Media> makeSoftMedia() { return std::make_unique<SoftMedia>(); }

}  // namespace audiotap::platform::soft
