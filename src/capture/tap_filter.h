// The process filter on Core Audio: the tap's description lists the audio
// clients (process objects) the trees leave out, or the ones they hold, and
// is kept up to date in place while the capture runs.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/graph.h"
#include "platform/capture_source.h"
#include "platform/dispatch.h"
#include "platform/hal.h"
#include "platform/processes.h"

namespace audiotap::capture {

using platform::ProcessID;

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
std::unique_ptr<platform::TapDescription> describeTap(platform::Hal& hal,
                                                      const platform::ProcessFilter& trees,
                                                      const std::vector<platform::AudioObjectID>& objects);

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
