#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace audiotap::posix::testing {

int runInChild(const std::function<void()>& body, unsigned guardSeconds) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(guardSeconds);
    body();
    // exit(), not _exit(): sanitizers report through the exit status.
    std::exit(90);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string describeStatus(int status) {
  if (status == -1) return "fork failed";
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
  }
  return "status " + std::to_string(status);
}

void require(bool condition, int code) {
  if (!condition) std::exit(code);
}

}  // namespace audiotap::posix::testing
