// The IO block on the simulator's media (the soft converter under the
// scripted outcomes) allocates nothing once it has run: operator new is
// counted on a thread flagged as the IO thread, around each IO call.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "counting_new.h"
#include "platform/sim/media.h"
#include "platform/sim/tone.h"
#include "platform/soft/media.h"
#include "realtime/echo_stage.h"
#include "realtime/io_block.h"

namespace audiotap::platform::sim {
namespace {

using test::ioAllocations;
using test::onIoThread;

class NullHandle : public platform::OutputHandle {
 public:
  bool writeAll(const void*, std::size_t) override { return true; }
  void synchronize() override {}
};

struct Case {
  const char* script;
  double targetRate;
  // The microphone's format (as for format=), beside the tap's; none when null.
  const char* microphone = nullptr;
};

TEST(IoAllocation, NonePerCallAfterTheFirst) {
  const Case cases[] = {
      {"format=48000,1,4,float", 16000},
      {"format=44100,2,2,int16,planar", 16000},
      {"format=16000,1,2,int16", 16000},
      {"format=48000,1,4,float;frames=40000", 8000},  // converted in pieces
      {"format=48000,1,4,float;convert=error:no", 16000},
      {"format=48000,1,4,float;convert=randry", 44100},
      {"format=48000,1,4,float", 16000, "48000,1,4,float"},
      {"format=44100,2,8,float", 48000, "44100,2,8,float"},
      {"format=48000,1,4,float;frames=40000", 8000, "48000,2,8,float"},
  };
  for (const auto& c : cases) {
    const auto parsed = parseScript(c.script);
    ASSERT_TRUE(parsed.script) << c.script;
    const Script& script = *parsed.script;
    Trace trace;
    const auto media = makeSimMedia(soft::makeSoftMedia(), script, trace);
    realtime::TapConversion conversion;
    conversion.tapStreamFormat = streamDescription(script.format);
    conversion.tapFormat = media->formatWithStreamDescription(&conversion.tapStreamFormat);
    auto outputFormat = media->formatWithCommonFormat(platform::CommonFormat::Int16, c.targetRate, 1, true);
    conversion.converter = media->makeConverter(*conversion.tapFormat, *outputFormat);
    ASSERT_TRUE(conversion.converter) << c.script;
    std::optional<ToneFormat> microphoneFormat;
    realtime::TapConversion microphone;
    if (c.microphone != nullptr) {
      const auto mic = parseScript(std::string("format=") + c.microphone);
      ASSERT_TRUE(mic.script) << c.microphone;
      microphoneFormat = mic.script->format;
      microphone.tapStreamFormat = streamDescription(*microphoneFormat);
      microphone.tapFormat = media->formatWithStreamDescription(&microphone.tapStreamFormat);
      microphone.converter = media->makeConverter(*microphone.tapFormat, *outputFormat);
      ASSERT_TRUE(microphone.converter) << c.microphone;
    }
    NullHandle output;
    realtime::Meter meter(&realtime::Meter::Clock::now, c.microphone != nullptr ? 2 : 1);
    realtime::PcmWriter writer(c.targetRate, 4, output, meter,
                               c.microphone != nullptr ? std::make_unique<realtime::EchoStage>(nullptr) : nullptr);
    realtime::IoBlock block(std::move(conversion), std::move(outputFormat), *media, c.targetRate, writer);
    if (c.microphone != nullptr) block.addMicrophone(std::move(microphone));
    ToneGenerator tone(script.format, 1000, 0.5, script.framesPerBuffer);
    std::optional<ToneGenerator> voice;
    if (microphoneFormat) voice.emplace(*microphoneFormat, 440, 0.25, script.framesPerBuffer);
    int calls = 0;
    const auto call = [&] {
      const platform::AudioBufferList* list = tone.next();
      // Now and then no microphone list: its silence is made too.
      const platform::AudioBufferList* mic = voice && ++calls % 7 != 0 ? voice->next() : nullptr;
      onIoThread = true;
      block(list, mic);
      onIoThread = false;
    };
    call();
    ioAllocations = 0;
    for (int i = 0; i < 20; ++i) call();
    block.fillGapSince(std::chrono::steady_clock::now() - std::chrono::seconds(1));
    for (int i = 0; i < 20; ++i) call();
    EXPECT_EQ(ioAllocations.load(), 0) << c.script;
    writer.reportLosses();
  }
}

}  // namespace
}  // namespace audiotap::platform::sim
