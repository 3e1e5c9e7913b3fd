#include "capture/input_device.h"

#include <vector>

#include "capture/output_device.h"

namespace audiotap::capture {

using platform::AudioObjectID;

namespace {

constexpr platform::PropertyAddress kInputStreams{platform::kAudioDevicePropertyStreams,
                                                  platform::kAudioObjectPropertyScopeInput,
                                                  platform::kAudioObjectPropertyElementMain};

// A device's input streams, or nothing when they cannot be read.
std::vector<AudioObjectID> inputStreams(platform::Hal& hal, AudioObjectID device) {
  std::uint32_t size = 0;
  if (hal.getPropertyDataSize(device, kInputStreams, 0, nullptr, &size) != 0) return {};
  std::vector<AudioObjectID> streams(size / sizeof(AudioObjectID));
  if (streams.empty()) return {};
  size = std::uint32_t(streams.size() * sizeof(AudioObjectID));
  if (hal.getPropertyData(device, kInputStreams, &size, streams.data()) != 0) return {};
  streams.resize(size / sizeof(AudioObjectID));
  return streams;
}

bool readStreamFormat(platform::Hal& hal, AudioObjectID stream, platform::StreamDescription& format) {
  std::uint32_t size = sizeof format;
  platform::StreamDescription read{};
  if (hal.getPropertyData(stream, platform::globalAddress(platform::kAudioStreamPropertyVirtualFormat), &size,
                          &read) != 0 ||
      size != sizeof read || read.mFormatID != platform::kAudioFormatLinearPCM || read.mChannelsPerFrame == 0) {
    return false;
  }
  format = read;
  return true;
}

}  // namespace

Result findDefaultInputDevice(platform::Hal& hal, Graph& graph) {
  const Failure none{platform::kNoMicrophone, std::nullopt};
  AudioObjectID device = 0;
  std::uint32_t size = sizeof device;
  const platform::OSStatus status =
      hal.getPropertyData(platform::kAudioObjectSystemObject,
                          platform::globalAddress(platform::kAudioHardwarePropertyDefaultInputDevice), &size, &device);
  if (status != 0 || device == 0) return none;
  std::optional<std::string> uid = deviceUID(hal, device);
  if (!uid) return none;
  const std::vector<AudioObjectID> streams = inputStreams(hal, device);
  platform::StreamDescription format{};
  if (streams.empty() || !readStreamFormat(hal, streams.front(), format)) return none;
  graph.inputDevice = device;
  graph.inputDeviceUID = std::move(*uid);
  graph.inputStreams = std::uint32_t(streams.size());
  graph.inputFormat = format;
  return std::nullopt;
}

Result findMicrophoneStream(Graph& graph) {
  if (graph.tapStream < graph.inputStreams) return Failure{platform::kNoMicrophone, std::nullopt};
  graph.microphoneStream = graph.tapStream - graph.inputStreams;
  return std::nullopt;
}

platform::StreamDescription readMicrophoneFormat(platform::Hal& hal, const Graph& graph, double rate) {
  platform::StreamDescription format = graph.inputFormat;
  const std::vector<AudioObjectID> streams = inputStreams(hal, graph.aggregateID);
  if (graph.microphoneStream < streams.size()) readStreamFormat(hal, streams[graph.microphoneStream], format);
  return microphoneFormatFor(format.mChannelsPerFrame, rate);
}

platform::StreamDescription microphoneFormatFor(std::uint32_t channels, double rate) {
  const std::uint32_t bytesPerFrame = 4 * channels;
  return {rate,
          platform::kAudioFormatLinearPCM,
          platform::kAudioFormatFlagIsFloat | platform::kAudioFormatFlagIsPacked,
          bytesPerFrame,
          1,
          bytesPerFrame,
          channels,
          32,
          0};
}

}  // namespace audiotap::capture
