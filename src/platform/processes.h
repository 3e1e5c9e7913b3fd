// The machine's process table, as far as the process filter needs it: who is
// running and who started whom. Each backend defines processTable().
#pragma once

#include <vector>

namespace audiotap::platform {

using ProcessID = int;

struct ProcessEntry {
  ProcessID pid;
  ProcessID parent;  // 0 when unknown
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Every process visible right now, in no particular order.
  virtual std::vector<ProcessEntry> list() = 0;
  // Whether a process with this ID exists now (zombies included).
  virtual bool exists(ProcessID pid) = 0;
};

// Made on first call; lives until the process exits. Main thread only.
ProcessTable& processTable();

}  // namespace audiotap::platform
