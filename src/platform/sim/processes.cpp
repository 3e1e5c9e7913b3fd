#include "platform/sim/processes.h"

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"
#include "platform/sim/hal.h"
#include "platform/sim/host.h"

namespace audiotap::platform::sim {

double elapsedMs() {
  static const std::int64_t start = host::monotonicNanoseconds();
  return double(host::monotonicNanoseconds() - start) / 1e6;
}

bool alive(const SimProcess& process, double ms) { return process.fromMs <= ms && ms < process.untilMs; }

std::vector<platform::ProcessEntry> SimProcessTable::list() {
  const double now = elapsedMs();
  std::vector<platform::ProcessEntry> entries{{kSelfPid, 1}};
  for (const auto& process : script_.processes) {
    const bool hidden = std::count(script_.hidden.begin(), script_.hidden.end(), process.pid) > 0;
    if (alive(process, now) && !hidden) entries.push_back({process.pid, process.parent});
  }
  return entries;
}

bool SimProcessTable::exists(platform::ProcessID pid) {
  const double now = elapsedMs();
  return pid == kSelfPid || std::any_of(script_.processes.begin(), script_.processes.end(),
                                        [&](const SimProcess& p) { return p.pid == pid && alive(p, now); });
}

std::vector<int> clientsAt(const std::vector<SimProcess>& processes, double ms) {
  std::vector<int> clients{kSelfPid};
  for (const auto& process : processes) {
    if (process.hz > 0 && alive(process, ms)) clients.push_back(process.pid);
  }
  return clients;
}

std::vector<double> TapCoverage::tones(const std::vector<SimProcess>& processes, double ms) {
  MutexLock lock(mutex);
  std::vector<double> hz;
  for (const auto& process : processes) {
    if (process.hz <= 0 || !alive(process, ms)) continue;
    const bool listed = std::find(objects.begin(), objects.end(), processObject(process.pid)) != objects.end();
    if (listed == include) hz.push_back(process.hz);
  }
  return hz;
}

}  // namespace audiotap::platform::sim

namespace audiotap::platform {

ProcessTable& processTable() {
  return static_cast<sim::SimHal&>(*currentPlatform().coreAudioHal()).processes();
}

}  // namespace audiotap::platform
