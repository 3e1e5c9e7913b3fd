// Main-loop scenarios never return, so each runs in a child process.
#pragma once

#include <functional>
#include <string>

namespace audiotap::posix::testing {

// Forks, runs `body` in the child and returns the child's wait status. Fork
// before the test makes any thread. A child still running after
// `guardSeconds` is killed by SIGALRM, so a hang fails instead of stalling.
int runInChild(const std::function<void()>& body, unsigned guardSeconds = 30);

// "exit 0", "exit 3", "signal 14 (Alarm clock)"...
std::string describeStatus(int status);

inline std::string exitedWith(int code) { return "exit " + std::to_string(code); }

// In the child: ends it with `code` unless `condition` holds.
void require(bool condition, int code);

}  // namespace audiotap::posix::testing
