// The process table from a Toolhelp snapshot.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <unordered_map>

#include "platform/processes.h"

namespace audiotap::platform {
namespace {

// Zero when the process cannot be opened.
ULONGLONG creationTime(ProcessID pid) {
  const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
  if (process == nullptr) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  const bool read = ::GetProcessTimes(process, &created, &exited, &kernel, &user);
  ::CloseHandle(process);
  return read ? (ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

class ToolhelpTable final : public ProcessTable {
 public:
  std::vector<ProcessEntry> list() override {
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return {};
    std::unordered_map<ProcessID, ProcessID> parents;
    std::vector<ProcessID> pids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (bool more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
      // 0 is the idle process, parent of nobody.
      if (entry.th32ProcessID == 0) continue;
      pids.push_back(ProcessID(entry.th32ProcessID));
      parents[ProcessID(entry.th32ProcessID)] = ProcessID(entry.th32ParentProcessID);
    }
    ::CloseHandle(snapshot);
    return parents_.list(pids, [&](ProcessID pid) { return parentOf(pid, parents); });
  }

  // A process that has ended but is still held open exists, as a zombie does.
  bool exists(ProcessID pid) override {
    if (pid <= 0) return false;
    const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (process != nullptr) {
      ::CloseHandle(process);
      return true;
    }
    return ::GetLastError() == ERROR_ACCESS_DENIED;
  }

  ProcessID self() override { return ProcessID(::GetCurrentProcessId()); }

 private:
  // Windows keeps a process's parent ID after the parent ends, and hands the
  // ID on to later processes: a "parent" younger than its child is not it.
  static ProcessID parentOf(ProcessID pid, const std::unordered_map<ProcessID, ProcessID>& parents) {
    const ProcessID parent = parents.at(pid);
    if (parent == 0 || parents.count(parent) == 0) return 0;
    const ULONGLONG born = creationTime(pid), parentBorn = creationTime(parent);
    return born != 0 && parentBorn != 0 && parentBorn > born ? 0 : parent;
  }

  ParentCache parents_;
};

}  // namespace

ProcessTable& processTable() {
  static ToolhelpTable* const table = new ToolhelpTable();
  return *table;
}

}  // namespace audiotap::platform
