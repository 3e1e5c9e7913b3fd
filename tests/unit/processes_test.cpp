// The parent cache behind the process tables: each pass must give every
// listed process's parent as it is now, while reading as few as it can.
#include "platform/processes.h"

#include <gtest/gtest.h>

#include <map>

namespace audiotap::platform {
namespace {

struct Pass {
  std::map<ProcessID, ProcessID> table;  // pid -> parent, as the system has it now
  std::vector<ProcessID> read;           // the parents the pass must read
};

TEST(ParentCache, ReadsOnlyNewProcessesAndOrphansYetListsEveryParentAsItIsNow) {
  const std::vector<Pass> passes = {
      {{{1, 0}, {100, 1}, {101, 100}, {102, 101}}, {1, 100, 101, 102}},
      {{{1, 0}, {100, 1}, {101, 100}, {102, 101}}, {}},
      // 103 is new.
      {{{1, 0}, {100, 1}, {101, 100}, {102, 101}, {103, 100}}, {103}},
      // 101 ends: its child 102 is handed to 1.
      {{{1, 0}, {100, 1}, {102, 1}, {103, 100}}, {102}},
      // 103 ends; a later process gets its PID: missing from a pass between,
      // it is read anew.
      {{{1, 0}, {100, 1}, {102, 1}}, {}},
      {{{1, 0}, {100, 1}, {102, 1}, {103, 1}}, {103}},
  };
  ParentCache cache;
  for (std::size_t i = 0; i < passes.size(); ++i) {
    const Pass& pass = passes[i];
    std::vector<ProcessID> pids, read;
    for (const auto& [pid, parent] : pass.table) pids.push_back(pid);
    const auto entries = cache.list(pids, [&](ProcessID pid) {
      read.push_back(pid);
      return pass.table.at(pid);
    });
    EXPECT_EQ(read, pass.read) << "pass " << i;
    std::map<ProcessID, ProcessID> listed;
    for (const auto& entry : entries) listed[entry.pid] = entry.parent;
    EXPECT_EQ(listed, pass.table) << "pass " << i;
  }
}

TEST(ParentCache, LeavesOutWhatCannotBeReadAndReadsItAgainNextTime) {
  ParentCache cache;
  int reads = 0;
  const auto unreadable = [&](ProcessID) {
    ++reads;
    return ProcessID(-1);
  };
  EXPECT_TRUE(cache.list({7}, unreadable).empty());
  EXPECT_TRUE(cache.list({7}, unreadable).empty());
  EXPECT_EQ(reads, 2);
}

}  // namespace
}  // namespace audiotap::platform
