// The process filter of --include-pid and --exclude-pid: which processes the
// tap hears, kept up to date while the capture runs.
//
// The PIDs name process trees: a process and every descendant, including
// those that start later. A process once found in a tree stays in it while it
// lives, so a child whose parent has ended (and that was handed to another
// parent) is still counted. A root that has ended is gone for good: a process
// that later gets its PID is not in its tree. The tap hears the include trees (every process
// when none is given) minus the exclude trees.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "capture/graph.h"
#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/hal.h"
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

class ProcessTrees final : public platform::ProcessFilter {
 public:
  // refresh() reads `table`; without one only update() moves the trees on.
  ProcessTrees(std::vector<ProcessID> include, std::vector<ProcessID> exclude,
               platform::ProcessTable* table = nullptr);

  bool active() const { return !include_.empty() || !exclude_.empty(); }
  bool includeMode() const { return !include_.empty(); }
  const std::vector<ProcessID>& includeRoots() const override { return include_; }
  const std::vector<ProcessID>& excludeRoots() const override { return exclude_; }

  void refresh() override;
  // Re-evaluates both trees against the table as it is now.
  void update(const std::vector<platform::ProcessEntry>& table);
  bool heard(ProcessID pid) const override;

 private:
  platform::ProcessTable* table_;
  std::vector<ProcessID> include_, exclude_;
  std::set<ProcessID> included_, excluded_;
  std::set<ProcessID> ended_;  // roots seen gone
};

// One audio client: its process object and PID.
struct AudioProcess {
  platform::AudioObjectID object;
  ProcessID pid;
};

// Reads 'prs#' on the system object, then 'ppid' of each process object.
// Objects whose PID cannot be read (ended in between) are left out.
platform::OSStatus readAudioProcesses(platform::Hal& hal, std::vector<AudioProcess>& processes);

// The objects a tap description lists: the heard ones when including, the
// unheard ones when excluding. Sorted. An include list also holds `self`'s
// object (it plays nothing), so that it is never empty: whether Core Audio
// takes a mixdown of no process is unknown.
std::vector<platform::AudioObjectID> listedObjects(const platform::ProcessFilter& trees,
                                                   const std::vector<AudioProcess>& processes,
                                                   ProcessID self);

// Whether a process the tap hears reports that it is playing
// (kAudioProcessPropertyIsRunningOutput), `self` aside; every audio client is
// heard when `trees` is null. A flag that cannot be read counts as not.
bool tappedProcessPlays(platform::Hal& hal, const platform::ProcessFilter* trees, ProcessID self);

// A mono description of the trees' kind, marked as filtered; null when the
// platform makes none.
std::unique_ptr<platform::TapDescription> describeTap(platform::Hal& hal, const platform::ProcessFilter& trees,
                                                      const std::vector<platform::AudioObjectID>& objects);

inline constexpr const char* kProcessNotInspectable = "the process exists but cannot be inspected";
inline constexpr const char* kProcessListUnreadable = "could not read the list of audio processes";
inline constexpr const char* kFilterNotUpdated = "could not update the process filter";

// Keeps the tap's description in step with the trees: every 50 ms on the main
// queue, and at each recheck made when the platform reports a change of the
// audio clients. The IO path never waits for it. Held by a shared_ptr: a pass
// still queued when it goes does nothing.
class FilterUpdater : public std::enable_shared_from_this<FilterUpdater> {
 public:
  struct Setup {
    platform::Hal* hal;
    platform::Dispatch* dispatch;
    ProcessID self;
    // The tap it keeps up to date, whenever the graph holds one.
    Graph* graph;
    // False while the capture is torn down; the periodic pass ends then,
    // until the next start().
    std::function<bool()> running;
    // A failed pass, once until one works again; the capture goes on.
    std::function<void(const Failure&)> failed;
  };
  FilterUpdater(Setup setup, platform::ProcessFilter& trees);

  const platform::ProcessFilter& trees() const { return trees_; }

  // A description of the trees as they are now, for a tap about to be made.
  // Fails when the audio clients cannot be listed.
  std::optional<Failure> describe(platform::Hal& hal, std::unique_ptr<platform::TapDescription>& description);

  // Main thread, once the device runs: starts the periodic pass, unless it
  // still runs.
  void start();
  // One pass: re-reads both lists and replaces the tap's description in place
  // when the listed objects changed. A failure is reported once until a pass
  // works again; the previous description stays in force meanwhile.
  void recheck();

 private:
  void tick();
  void report(platform::OSStatus status);

  Setup setup_;
  platform::ProcessFilter& trees_;
  std::vector<platform::AudioObjectID> listed_;
  bool failing_ = false;
  bool ticking_ = false;
};

}  // namespace audiotap::capture
