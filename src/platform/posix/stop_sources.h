// The requests to stop and the end of standard input, as POSIX gives them:
// shared by the dispatch of every POSIX backend.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch.h"

namespace audiotap::platform::posix {

// SIGINT, SIGTERM and SIGHUP, each ignored for its default action and watched.
std::vector<std::unique_ptr<Source>> makeStopSources(Dispatch& dispatch, std::function<void()> handler);

// A read source on descriptor 0 that runs `handler` at end of file.
std::unique_ptr<Source> makeInputEndSource(Dispatch& dispatch, std::function<void()> handler);

}  // namespace audiotap::platform::posix
