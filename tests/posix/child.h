// Main-loop scenarios never return, so each runs in a fork()ed child.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace audiotap::platform::posix::testing {

// The child's end, as "exit 0" or "signal 10 (User defined signal 1)". A
// child still running after `guardSeconds` dies of SIGALRM: a hang fails.
template <class Body>
std::string runInChild(Body body, unsigned guardSeconds = 30) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(guardSeconds);
    body();
    std::exit(90);  // exit(), not _exit(): sanitizers report through the status
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return "fork failed";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  return "signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
}

// In the child: ends it with `code` unless `condition` holds.
inline void require(bool condition, int code) {
  if (!condition) std::exit(code);
}

}  // namespace audiotap::platform::posix::testing
