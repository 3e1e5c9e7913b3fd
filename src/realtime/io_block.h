// The IO block: converts each delivered buffer to 16-bit mono at the target
// rate, writes it to standard output and feeds the level meter.
#pragma once

#include <memory>

#include "platform/media.h"
#include "platform/output.h"
#include "platform/types.h"
#include "realtime/meter.h"

namespace audiotap::realtime {

struct IoBlock {
  platform::StreamDescription tapStreamFormat;
  std::unique_ptr<platform::AudioFormat> tapFormat;
  std::unique_ptr<platform::AudioFormat> outputFormat;
  std::unique_ptr<platform::Converter> converter;
  platform::Media* media;
  double targetRate;
  platform::OutputHandle* stdoutHandle;
  Meter* meter;

  // One call per delivered buffer, never two at once. Returns having written
  // one block of samples, or emitted one "error", or done nothing.
  void operator()(const platform::AudioBufferList* input) noexcept;
};

}  // namespace audiotap::realtime
