// The IO path on Linux allocates nothing per call after the first: from the
// first IO block call on, every operator new on the thread that serves the
// record stream is counted, the backend's delivery and the IO block alike.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "counting_new.h"
#include "platform/linux/pulse_source.h"
#include "platform/posix/posix_dispatch.h"
#include "platform/soft/media.h"
#include "pulse_support.h"
#include "realtime/io_block.h"

namespace audiotap::test {
namespace {

using namespace std::chrono_literals;
using namespace platform;

class NullHandle : public OutputHandle {
 public:
  bool writeAll(const void*, std::size_t) override { return true; }
  void synchronize() override {}
};

TEST(PulseIoPath, AllocatesNothingPerCallAfterTheFirst) {
  const auto server = givenServer();
  if (!server) GTEST_SKIP() << kNoServerReason;
  auto dispatch = posix::makePosixDispatch();
  auto queue = dispatch->makeSerialQueue("com.orvane.audiotap.io");
  auto media = soft::makeSoftMedia();
  linux::PulseSource source(*dispatch);
  ASSERT_FALSE(source.open({}, [](const SourceReport&) {}));

  realtime::TapConversion conversion;
  conversion.tapStreamFormat = source.format();
  conversion.tapFormat = media->formatWithStreamDescription(&conversion.tapStreamFormat);
  auto outputFormat = media->formatWithCommonFormat(CommonFormat::Int16, 16000, 1, true);
  conversion.converter = media->makeConverter(*conversion.tapFormat, *outputFormat);
  ASSERT_TRUE(conversion.converter);
  NullHandle output;
  realtime::Meter meter;
  realtime::PcmWriter writer(16000, 4, output, meter);
  realtime::IoBlock block(std::move(conversion), std::move(outputFormat), *media, 16000, writer);

  std::atomic<int> calls{0};
  ASSERT_FALSE(source.attach(*queue, [&](const AudioBufferList* list, const AudioBufferList*) {
    block(list);
    if (calls.fetch_add(1) == 0) {
      ioAllocations = 0;
      onIoThread = true;
    }
  }));
  ASSERT_FALSE(source.start());
  ASSERT_TRUE(play(server->sink, {{0.5, 440, 0.3, 0.3}}));
  const long allocations = ioAllocations.load();
  const int counted = calls.load();
  source.close(std::chrono::steady_clock::now() + 5s);
  ASSERT_GT(counted, 10);
  EXPECT_EQ(allocations, 0) << "in " << counted - 1 << " calls";
}

}  // namespace
}  // namespace audiotap::test
