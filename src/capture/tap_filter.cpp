#include "capture/tap_filter.h"

#include <algorithm>
#include <chrono>

#include "capture/output_device.h"

namespace audiotap::capture {

using platform::AudioObjectID;
using platform::globalAddress;
using platform::OSStatus;

namespace {

// Well within the ~100 ms in which a new process of a tree must count.
constexpr std::chrono::milliseconds kRecheckPeriod{50};

}  // namespace

OSStatus readAudioProcesses(platform::Hal& hal, std::vector<AudioProcess>& processes) {
  processes.clear();
  const auto listAddress = globalAddress(platform::kAudioHardwarePropertyProcessObjectList);
  std::vector<AudioObjectID> objects;
  // The list may grow between the two reads; a few tries settle it.
  for (int attempt = 0;; ++attempt) {
    std::uint32_t size = 0;
    OSStatus status =
        hal.getPropertyDataSize(platform::kAudioObjectSystemObject, listAddress, 0, nullptr, &size);
    if (status != 0) return status;
    objects.assign(size / sizeof(AudioObjectID) + 1, 0);
    std::uint32_t read = std::uint32_t(objects.size() * sizeof(AudioObjectID));
    status = hal.getPropertyData(platform::kAudioObjectSystemObject, listAddress, &read, objects.data());
    if (status != 0) return status;
    if (read < objects.size() * sizeof(AudioObjectID) || attempt == 3) {
      objects.resize(std::min<std::size_t>(objects.size(), read / sizeof(AudioObjectID)));
      break;
    }
  }
  const auto pidAddress = globalAddress(platform::kAudioProcessPropertyPID);
  for (const AudioObjectID object : objects) {
    std::int32_t pid = -1;
    std::uint32_t size = sizeof pid;
    if (object == 0) continue;
    if (hal.getPropertyData(object, pidAddress, &size, &pid) != 0 || size != sizeof pid) continue;
    processes.push_back({object, pid});
  }
  return 0;
}

namespace {

bool includeMode(const platform::ProcessFilter& trees) { return !trees.includeRoots().empty(); }

// A client whose PID is unknown is in no tree.
bool heard(const platform::ProcessFilter& trees, const AudioProcess& process) {
  return process.pid > 0 ? trees.heard(process.pid) : !includeMode(trees);
}

}  // namespace

std::vector<AudioObjectID> listedObjects(const platform::ProcessFilter& trees,
                                         const std::vector<AudioProcess>& processes, ProcessID self) {
  std::vector<AudioObjectID> listed;
  for (const auto& process : processes) {
    // audiotap's own object keeps an include list from ever being empty.
    const bool listedHere =
        includeMode(trees) ? heard(trees, process) || process.pid == self : !heard(trees, process);
    if (listedHere) listed.push_back(process.object);
  }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  return listed;
}

bool tappedProcessPlays(platform::Hal& hal, const platform::ProcessFilter* trees, ProcessID self) {
  std::vector<AudioProcess> processes;
  if (readAudioProcesses(hal, processes) != 0) return false;
  for (const auto& process : processes) {
    if (process.pid == self || (trees != nullptr && !heard(*trees, process))) continue;
    std::uint32_t running = 0;
    std::uint32_t size = sizeof running;
    const auto address = globalAddress(platform::kAudioProcessPropertyIsRunningOutput);
    if (hal.getPropertyData(process.object, address, &size, &running) == 0 && running != 0) return true;
  }
  return false;
}

std::unique_ptr<platform::TapDescription> describeTap(platform::Hal& hal,
                                                      const platform::ProcessFilter& trees,
                                                      const std::vector<AudioObjectID>& objects) {
  auto description = includeMode(trees) ? hal.makeMonoMixdownOfProcesses(objects)
                                        : hal.makeMonoGlobalTapButExcludeProcesses(objects);
  if (description) description->setFiltered(true);
  return description;
}

FilterUpdater::FilterUpdater(Setup setup, platform::ProcessFilter& trees)
    : setup_(std::move(setup)), trees_(trees) {}

std::optional<Failure> FilterUpdater::describe(platform::Hal& hal,
                                               std::unique_ptr<platform::TapDescription>& description) {
  trees_.refresh();
  std::vector<AudioProcess> processes;
  const OSStatus status = readAudioProcesses(hal, processes);
  if (status != 0) return Failure{kProcessListUnreadable, status};
  listed_ = listedObjects(trees_, processes, setup_.self);
  description = describeTap(hal, trees_, listed_);
  failing_ = false;
  return std::nullopt;
}

void FilterUpdater::start() {
  if (ticking_) return;
  ticking_ = true;
  setup_.dispatch->asyncAfterOnMain(kRecheckPeriod, [self = weak_from_this()] {
    if (auto updater = self.lock()) updater->tick();
  });
}

void FilterUpdater::tick() {
  ticking_ = false;
  if (!setup_.running()) return;
  recheck();
  start();
}

void FilterUpdater::recheck() {
  Graph& graph = *setup_.graph;
  if (!setup_.running() || graph.tapID == 0 || !graph.tapDescription) return;
  trees_.refresh();
  std::vector<AudioProcess> processes;
  const OSStatus status = readAudioProcesses(*setup_.hal, processes);
  if (status != 0) return report(status);
  std::vector<AudioObjectID> listed = listedObjects(trees_, processes, setup_.self);
  if (listed == listed_ && !failing_) return;
  auto description = describeTap(*setup_.hal, trees_, listed);
  if (!description) return report(0);
  description->setName(kTapName);
  description->setUUID(graph.tapDescription->uuidString());
  description->setPrivate(true);
  description->setMuteBehavior(0);
  const OSStatus set = setup_.hal->setTapDescription(graph.tapID, *description);
  if (set != 0) return report(set);
  listed_ = std::move(listed);
  graph.tapDescription = std::move(description);
  failing_ = false;
}

void FilterUpdater::report(OSStatus status) {
  if (failing_) return;
  failing_ = true;
  setup_.failed(Failure{kFilterNotUpdated, status != 0 ? std::optional(status) : std::nullopt});
}

}  // namespace audiotap::capture
