// audiotap-sim run as a host runs it, with its platform calls traced to a
// file of its own.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "child.h"

namespace audiotap::test {

using Lines = std::vector<std::string>;

inline long countOf(const Lines& lines, const std::string& line) {
  return std::count(lines.begin(), lines.end(), line);
}

struct TraceFile {
  inline static int made = 0;
  std::string path =
      testing::TempDir() + "audiotap-trace-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
  TraceFile() { std::remove(path.c_str()); }
  ~TraceFile() { std::remove(path.c_str()); }
};

class Sim : TraceFile, public Child {
 public:
  Sim(const std::string& script, Lines args = {}, bool stdinAtEnd = false, std::string stdoutPath = "")
      : Child({AUDIOTAP_SIM_PATH,
               std::move(args),
               {{"AUDIOTAP_SIM", "trace=" + path + ";" + script}},
               stdinAtEnd ? "/dev/null" : "",
               std::move(stdoutPath)}) {}
  Lines trace() const {
    Lines lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }
};

// The capture-graph calls of a trace; creating calls cut to their name.
inline Lines graphCalls(const Lines& trace) {
  Lines calls;
  for (const auto& line : trace) {
    const std::string name = line.substr(0, line.find(' '));
    if (name.rfind("AudioDevice", 0) && name.rfind("AudioHardware", 0) && name != "DeviceLost") continue;
    calls.push_back(name.find("Create") != std::string::npos ? name : line);
  }
  return calls;
}

}  // namespace audiotap::test
