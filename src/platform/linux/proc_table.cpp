// The process table from /proc.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/processes.h"

namespace audiotap::platform {
namespace {

// The parent from /proc/PID/stat: "pid (comm) state ppid ...", where comm
// may hold spaces and parentheses, so the last ')' ends it.
ProcessID parentOf(ProcessID pid) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  const ssize_t got = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (got <= 0) return -1;
  text[got] = '\0';
  const char* close = std::strrchr(text, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0' || close[3] != ' ') return -1;
  char* end = nullptr;
  const long parent = std::strtol(close + 4, &end, 10);
  return end == close + 4 ? -1 : ProcessID(parent);
}

class ProcTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> list() override {
    std::vector<ProcessID> pids;
    DIR* directory = ::opendir("/proc");
    if (directory == nullptr) return {};
    while (const dirent* entry = ::readdir(directory)) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || pid <= 0) continue;
      pids.push_back(ProcessID(pid));
    }
    ::closedir(directory);
    return parents_.list(pids, parentOf);
  }

  // EPERM: it exists, but belongs to someone we may not signal.
  bool exists(ProcessID pid) override { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }
  ProcessID self() override { return ::getpid(); }

 private:
  ParentCache parents_;
};

}  // namespace

ProcessTable& processTable() {
  static ProcTable* const table = new ProcTable();
  return *table;
}

}  // namespace audiotap::platform
