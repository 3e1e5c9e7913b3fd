// The machine's process table, as far as the process filter needs it: who is
// running and who started whom. Each backend defines processTable().
#pragma once

#include <unordered_map>
#include <unordered_set>
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

// The parents of the processes listed now, read again only for a PID that
// the previous listing lacked, or whose parent has ended since (its orphans
// are handed to another). Reading every parent on each pass cost more than
// the rest of a filtered capture, even with few processes running.
class ParentCache {
 public:
  // `readParent(pid)`: the parent, or a negative value for a process that
  // ended or cannot be inspected (left out).
  template <class ReadParent>
  std::vector<ProcessEntry> list(const std::vector<ProcessID>& pids, ReadParent&& readParent) {
    const std::unordered_set<ProcessID> alive(pids.begin(), pids.end());
    std::unordered_map<ProcessID, ProcessID> next;
    std::vector<ProcessEntry> entries;
    entries.reserve(pids.size());
    for (const ProcessID pid : pids) {
      const auto known = known_.find(pid);
      const bool current = known != known_.end() && (known->second == 0 || alive.count(known->second) > 0);
      const ProcessID parent = current ? known->second : readParent(pid);
      if (parent < 0) continue;
      next.emplace(pid, parent);
      entries.push_back({pid, parent});
    }
    known_ = std::move(next);
    return entries;
  }

 private:
  std::unordered_map<ProcessID, ProcessID> known_;
};

// Made on first call; lives until the process exits. Main thread only.
ProcessTable& processTable();

// This process's own ID.
ProcessID ownProcessID();

}  // namespace audiotap::platform
