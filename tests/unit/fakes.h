// Test doubles for the media interfaces and the output handles.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/media.h"
#include "platform/output.h"

namespace audiotap::testing {

class RecordingHandle : public platform::OutputHandle {
 public:
  bool writeAll(const void* data, std::size_t size) override {
    std::lock_guard lock(mutex);
    writes.emplace_back(static_cast<const char*>(data), size);
    return true;
  }
  void synchronize() override {}
  std::string bytes() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }
  std::vector<nlohmann::json> events() const {
    std::vector<nlohmann::json> parsed;
    for (const auto& w : writes) parsed.push_back(nlohmann::json::parse(w.substr(0, w.size() - 1)));
    return parsed;
  }
  std::mutex mutex;
  std::vector<std::string> writes;
};

class FakeFormat : public platform::AudioFormat {};

class FakeBuffer : public platform::PcmBuffer {
 public:
  explicit FakeBuffer(std::uint32_t capacity) : capacity(capacity), samples(capacity), channels{samples.data()} {}
  std::uint32_t frameLength() const override { return length; }
  void setFrameLength(std::uint32_t frames) override {
    length = frames;
    if (lengthRecord) *lengthRecord = frames;
  }
  std::int16_t* const* int16ChannelData() const override { return withChannelData ? channels : nullptr; }
  // A wrapper takes any one buffer: its frames are its bytes over `bytesPerFrame`.
  bool rewrap(const platform::AudioBuffer* buffers, std::uint32_t count) override {
    if (!wraps || count == 0) return false;
    wrapped = buffers[0].mData;
    setFrameLength(bytesPerFrame == 0 ? 0 : buffers[0].mDataByteSize / bytesPerFrame);
    if (length > capacity) return false;
    ++rewraps;
    return true;
  }

  std::uint32_t capacity;
  std::uint32_t length = 0;
  std::vector<std::int16_t> samples;
  std::int16_t* channels[1];
  bool withChannelData = true;
  std::uint32_t* lengthRecord = nullptr;
  bool wraps = true;
  std::uint32_t bytesPerFrame = 4;
  const void* wrapped = nullptr;
  int rewraps = 0;
};

// Writes `samples` (as much as fits) and answers with `status`; records what
// the input block gave it.
class FakeConverter : public platform::Converter {
 public:
  platform::ConverterOutputStatus convert(platform::PcmBuffer& output, std::optional<platform::ConverterError>* error,
                                          platform::ConverterInputBlock input) override {
    platform::ConverterInputStatus first{}, second{};
    firstInput = input(512, &first);
    secondInput = input(512, &second);
    firstStatus = first;
    secondStatus = second;
    auto& out = static_cast<FakeBuffer&>(output);
    out.withChannelData = withChannelData;
    const std::size_t n = std::min<std::size_t>(samples.size(), out.capacity);
    std::copy_n(samples.begin(), n, out.samples.begin());
    out.length = std::uint32_t(n);
    if (error != nullptr) ++wordsAsked;
    if (errorMessage && error != nullptr) *error = platform::ConverterError{*errorMessage};
    ++calls;
    return status;
  }

  std::vector<std::int16_t> samples;
  platform::ConverterOutputStatus status = platform::ConverterOutputStatus::InputRanDry;
  std::optional<std::string> errorMessage;
  bool withChannelData = true;
  int calls = 0;
  int wordsAsked = 0;
  platform::PcmBuffer* firstInput = nullptr;
  platform::PcmBuffer* secondInput = reinterpret_cast<platform::PcmBuffer*>(1);
  platform::ConverterInputStatus firstStatus{}, secondStatus{};
};

class FakeMedia : public platform::Media {
 public:
  std::unique_ptr<platform::AudioFormat> formatWithStreamDescription(const platform::StreamDescription*) override {
    return std::make_unique<FakeFormat>();
  }
  std::unique_ptr<platform::AudioFormat> formatWithCommonFormat(platform::CommonFormat, double, std::uint32_t,
                                                                bool) override {
    return std::make_unique<FakeFormat>();
  }
  std::unique_ptr<platform::Converter> makeConverter(const platform::AudioFormat&,
                                                     const platform::AudioFormat&) override {
    return std::make_unique<FakeConverter>();
  }
  std::unique_ptr<platform::PcmBuffer> wrapBufferListNoCopy(const platform::AudioFormat&,
                                                            const platform::AudioBufferList*) override {
    return nullptr;
  }
  std::unique_ptr<platform::PcmBuffer> makeWrapper(const platform::AudioFormat&,
                                                   std::uint32_t capacity) override {
    wrapperCapacities.push_back(capacity);
    auto buffer = std::make_unique<FakeBuffer>(0);
    buffer->capacity = capacity;
    buffer->lengthRecord = &lastInputFrames;
    wrapper = buffer.get();
    return buffer;
  }
  std::unique_ptr<platform::PcmBuffer> makeBuffer(const platform::AudioFormat&, std::uint32_t capacity) override {
    capacities.push_back(capacity);
    if (!makeSucceeds) return nullptr;
    return std::make_unique<FakeBuffer>(capacity);
  }

  bool makeSucceeds = true;
  std::vector<std::uint32_t> capacities, wrapperCapacities;
  // The wrapper last made; it lives as long as its conversion.
  FakeBuffer* wrapper = nullptr;
  std::uint32_t lastInputFrames = 0;
};

}  // namespace audiotap::testing
