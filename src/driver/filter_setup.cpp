#include "driver/filter_setup.h"

#include "capture/output_device.h"
#include "events/channel.h"

namespace audiotap::driver {
namespace {

std::vector<platform::ProcessID> parsed(const std::vector<std::string>& values) {
  std::vector<platform::ProcessID> pids;
  for (const auto& value : values) pids.push_back(*capture::parseProcessID(value));
  return pids;
}

}  // namespace

void checkProcessOptions(State& s) {
  if (s.options.includePids.empty() && s.options.excludePids.empty()) return;
  if (auto refusal = capture::checkPidOptions(s.options.includePids, s.options.excludePids, platform::processTable())) {
    events::fail(*refusal);
  }
  s.processTrees = std::make_unique<capture::ProcessTrees>(parsed(s.options.includePids), parsed(s.options.excludePids));
}

std::unique_ptr<platform::TapDescription> filteredTapDescription(State& s) {
  if (!s.processTrees) return nullptr;
  platform::Hal& hal = s.platform->hal();
  s.processTrees->update(platform::processTable().list());
  std::vector<capture::AudioProcess> processes;
  const platform::OSStatus status = capture::readAudioProcesses(hal, processes);
  if (status != 0) events::fail(capture::kProcessListUnreadable, status);
  s.listedProcesses = capture::listedObjects(*s.processTrees, processes);
  auto description = capture::describeTap(hal, *s.processTrees, s.listedProcesses);
  if (!description) events::fail(capture::kTapFailed, 0);
  return description;
}

void startFilterUpdates(State& s) {
  if (!s.processTrees) return;
  capture::FilterUpdater::Setup setup{&s.platform->hal(),
                                      &s.platform->dispatch(),
                                      &platform::processTable(),
                                      s.tapID,
                                      capture::kTapName,
                                      s.tapDescription->uuidString(),
                                      [] { return !state().cleanedUp; }};
  s.filterUpdater =
      std::make_unique<capture::FilterUpdater>(std::move(setup), *s.processTrees, s.listedProcesses);
  s.filterUpdater->start();
}

void addFilterFields(const State& s, platform::Dictionary& ready) {
  if (!s.processTrees) return;
  for (const auto* roots : {&s.processTrees->includeRoots(), &s.processTrees->excludeRoots()}) {
    if (roots->empty()) continue;
    platform::Array pids;
    for (const auto pid : *roots) pids.emplace_back(pid);
    ready.emplace_back(roots == &s.processTrees->includeRoots() ? "include" : "exclude", std::move(pids));
  }
}

}  // namespace audiotap::driver
