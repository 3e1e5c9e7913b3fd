#include "driver/ready.h"

#include <cstdint>
#include <string>

namespace audiotap::driver {
namespace {

// "include" and "exclude", each only when its option was used.
void addFilterFields(const State& s, platform::Dictionary& ready) {
  if (!s.filter) return;
  const capture::ProcessTrees& trees = *s.filter;
  for (const auto* roots : {&trees.includeRoots(), &trees.excludeRoots()}) {
    if (roots->empty()) continue;
    platform::Array pids;
    for (const auto pid : *roots) pids.emplace_back(pid);
    ready.emplace_back(roots == &trees.includeRoots() ? "include" : "exclude", std::move(pids));
  }
}

}  // namespace

platform::Dictionary readyFields(const State& s) {
  const platform::StreamDescription& tap = s.tapStreamFormat;
  const bool microphone = s.options.microphone;
  platform::Dictionary ready{
      {"tapFormat",
       platform::Dictionary{{"sampleRate", tap.mSampleRate}, {"channels", std::int64_t(tap.mChannelsPerFrame)}}},
      {"outputFormat",
       platform::Dictionary{{"sampleRate", s.targetRate}, {"channels", microphone ? 2.0 : 1.0}, {"bits", 16.0}}},
      {"outputDeviceUID", s.source->deviceUID()},
      {"version", std::string(AUDIOTAP_VERSION)},
  };
  if (microphone) {
    ready.emplace_back("channels", platform::Array{std::string("system"), std::string("microphone")});
    ready.emplace_back("inputDeviceUID", s.source->inputDeviceUID());
  }
  addFilterFields(s, ready);
  return ready;
}

}  // namespace audiotap::driver
