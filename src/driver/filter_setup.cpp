#include "driver/filter_setup.h"

#include "events/channel.h"

namespace audiotap::driver {

void setUpProcessFilter(State& s) {
  if (s.options.includePids.empty() && s.options.excludePids.empty()) return;
  platform::ProcessTable& table = platform::processTable();
  capture::CheckedPids pids = capture::checkPidOptions(s.options.includePids, s.options.excludePids, table);
  if (pids.refusal) events::fail(*pids.refusal);
  s.filter = std::make_unique<capture::ProcessTrees>(std::move(pids.include), std::move(pids.exclude), table);
}

}  // namespace audiotap::driver
