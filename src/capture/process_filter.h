// The process filter of --include-pid and --exclude-pid: which processes the
// capture hears.
//
// The PIDs name process trees: a process and every descendant, including
// those that start later. A process once found in a tree stays in it while it
// lives, so a child whose parent has ended (and that was handed to another
// parent) is still counted. A root that has ended is gone for good: a process
// that later gets its PID is not in its tree. The tap hears the include trees (every process
// when none is given) minus the exclude trees.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_source.h"
#include "platform/processes.h"

namespace audiotap::capture {

using platform::ProcessID;

// A value that is a positive decimal process ID that fits a pid_t; nothing
// otherwise (signs, spaces, other bases, zero, overflow).
std::optional<ProcessID> parseProcessID(const std::string& text);

struct CheckedPids {
  std::vector<ProcessID> include, exclude;
  // The first value that is not a positive decimal PID of a running process
  // that the table lists, refused; the lists are then empty.
  std::optional<std::string> refusal;
};

// The PID options' values, parsed. Include values are checked first, each list
// in order.
CheckedPids checkPidOptions(const std::vector<std::string>& include, const std::vector<std::string>& exclude,
                            platform::ProcessTable& table);

inline constexpr const char* kProcessNotInspectable = "the process exists but cannot be inspected";

class ProcessTrees final : public platform::ProcessFilter {
 public:
  // refresh() reads `table`.
  ProcessTrees(std::vector<ProcessID> include, std::vector<ProcessID> exclude, platform::ProcessTable& table);

  bool active() const { return !include_.empty() || !exclude_.empty(); }
  bool includeMode() const { return !include_.empty(); }
  const std::vector<ProcessID>& includeRoots() const override { return include_; }
  const std::vector<ProcessID>& excludeRoots() const override { return exclude_; }

  void refresh() override;
  // Re-evaluates both trees against the table as it is now.
  void update(const std::vector<platform::ProcessEntry>& table);
  bool heard(ProcessID pid) const override;

 private:
  platform::ProcessTable& table_;
  std::vector<ProcessID> include_, exclude_;
  std::set<ProcessID> included_, excluded_;
  std::set<ProcessID> ended_;  // roots seen gone
};

}  // namespace audiotap::capture
