// The process table from libproc.
#include <libproc.h>
#include <signal.h>
#include <sys/proc_info.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/processes.h"

namespace audiotap::platform {
namespace {

class LibprocTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> list() override {
    // The count may grow between the two calls: leave room.
    const int estimate = proc_listallpids(nullptr, 0);
    if (estimate <= 0) return {};
    std::vector<pid_t> pids(std::size_t(estimate) + 64);
    const int count = proc_listallpids(pids.data(), int(pids.size() * sizeof(pid_t)));
    if (count <= 0) return {};
    pids.resize(std::min<std::size_t>(std::size_t(count), pids.size()));
    std::vector<ProcessID> listed;
    for (const pid_t pid : pids) {
      if (pid > 0) listed.push_back(ProcessID(pid));
    }
    return parents_.list(listed, [](ProcessID pid) {
      // The short form answers for every user's processes (the full one only
      // for our own, and a PID run under sudo would look ended). A process
      // that ended in between, or that we may not inspect, is left out.
      proc_bsdshortinfo info{};
      if (proc_pidinfo(pid, PROC_PIDT_SHORTBSDINFO, 0, &info, sizeof info) != int(sizeof info))
        return ProcessID(-1);
      return ProcessID(info.pbsi_ppid);
    });
  }

  // EPERM: it exists, but belongs to someone we may not signal.
  bool exists(ProcessID pid) override { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }
  ProcessID self() override { return ::getpid(); }

 private:
  ParentCache parents_;
};

}  // namespace

ProcessTable& processTable() {
  static LibprocTable* const table = new LibprocTable();
  return *table;
}

}  // namespace audiotap::platform
