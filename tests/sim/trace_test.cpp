// The trace file gathers the lines of every run that names it: each line is
// appended whole after what the file already holds.
#include "platform/sim/trace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace audiotap::platform::sim {
namespace {

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SimTrace, AppendsLinesAfterWhatTheFileHolds) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "audiotap-sim-trace-test.txt";
  std::ofstream(path, std::ios::binary) << "earlier run\n";
  {
    Trace first;
    Trace second;
    ASSERT_TRUE(first.open(path.string()));
    ASSERT_TRUE(second.open(path.string()));
    first.line("AudioDeviceStart 1 proc");
    second.line("DeviceLost gone");
    first.line("AudioDeviceStop 1 proc");
  }
  EXPECT_EQ(contents(path), "earlier run\nAudioDeviceStart 1 proc\nDeviceLost gone\nAudioDeviceStop 1 proc\n");
  std::filesystem::remove(path);
}

TEST(SimTrace, RefusesAFileItCannotCreate) {
  Trace trace;
  EXPECT_FALSE(trace.open((std::filesystem::temp_directory_path() / "audiotap-no-such-dir" / "trace").string()));
  trace.line("nowhere");  // no file open: nothing happens
}

}  // namespace
}  // namespace audiotap::platform::sim
