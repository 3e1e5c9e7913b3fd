// The simulator's processes: the scripted table, which of them are audio
// clients (those that play a tone) at a given moment, and what the tap covers.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/hal.h"
#include "platform/processes.h"
#include "platform/sim/script.h"
#include "platform/thread_annotations.h"

namespace audiotap::platform::sim {

// Milliseconds on the monotonic clock since the simulator first asked.
double elapsedMs();

// The process object of an audio client.
constexpr AudioObjectID processObject(int pid) { return 0x10000 + AudioObjectID(pid); }

// audiotap itself: in the table, and an audio client (it plays nothing), as
// every process that talks to the HAL is.
inline constexpr int kSelfPid = 9999;

bool alive(const SimProcess& process, double ms);

class SimProcessTable final : public platform::ProcessTable {
 public:
  explicit SimProcessTable(const Script& script) : script_(script) {}
  std::vector<platform::ProcessEntry> list() override;
  bool exists(platform::ProcessID pid) override;
  platform::ProcessID self() override { return kSelfPid; }

 private:
  const Script& script_;
};

// The tap's processes as last described. Shared
// by the HAL (main thread) and the delivering task.
struct TapCoverage {
  Mutex mutex;
  bool include GUARDED_BY(mutex) = false;
  std::vector<AudioObjectID> objects GUARDED_BY(mutex);

  // The tones of the clients alive at `ms` that the tap covers.
  std::vector<double> tones(const std::vector<SimProcess>& processes, double ms);
};

// The audio clients alive at `ms`, by PID: audiotap, then the players.
std::vector<int> clientsAt(const std::vector<SimProcess>& processes, double ms);

}  // namespace audiotap::platform::sim
