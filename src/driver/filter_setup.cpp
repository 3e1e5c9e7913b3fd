#include "driver/filter_setup.h"

#include "events/channel.h"

namespace audiotap::driver {

void setUpProcessFilter(State& s) {
  if (s.options.includePids.empty() && s.options.excludePids.empty()) return;
  platform::ProcessTable& table = platform::processTable();
  capture::CheckedPids pids = capture::checkPidOptions(s.options.includePids, s.options.excludePids, table);
  if (pids.refusal) events::fail(*pids.refusal);
  capture::ProcessTrees trees(std::move(pids.include), std::move(pids.exclude));
  s.filter = std::make_unique<capture::FilterUpdater>(capture::FilterUpdater::Setup{
      &s.platform->hal(), &s.platform->dispatch(), &table, &s.graph, [] { return !state().stopped; }},
      std::move(trees));
  s.graph.describeTap = [](platform::Hal& hal, std::unique_ptr<platform::TapDescription>& description) {
    return state().filter->describe(hal, description);
  };
}

void addFilterFields(const State& s, platform::Dictionary& ready) {
  if (!s.filter) return;
  const capture::ProcessTrees& trees = s.filter->trees();
  for (const auto* roots : {&trees.includeRoots(), &trees.excludeRoots()}) {
    if (roots->empty()) continue;
    platform::Array pids;
    for (const auto pid : *roots) pids.emplace_back(pid);
    ready.emplace_back(roots == &trees.includeRoots() ? "include" : "exclude", std::move(pids));
  }
}

}  // namespace audiotap::driver
