#include "capture/process_filter.h"

#include <climits>
#include <map>

namespace audiotap::capture {

namespace {

// Adds to `members` every process in `table` that descends from one of them,
// and drops the members that are no longer in it.
void grow(std::set<ProcessID>& members, const std::vector<platform::ProcessEntry>& table) {
  std::multimap<ProcessID, ProcessID> children;
  std::set<ProcessID> alive;
  for (const auto& entry : table) {
    alive.insert(entry.pid);
    if (entry.parent != entry.pid) children.emplace(entry.parent, entry.pid);
  }
  std::erase_if(members, [&](ProcessID pid) { return !alive.count(pid); });
  std::vector<ProcessID> pending(members.begin(), members.end());
  while (!pending.empty()) {
    const ProcessID parent = pending.back();
    pending.pop_back();
    const auto [first, last] = children.equal_range(parent);
    for (auto it = first; it != last; ++it) {
      if (members.insert(it->second).second) pending.push_back(it->second);
    }
  }
}

}  // namespace

std::optional<ProcessID> parseProcessID(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value <= 0 || value > INT_MAX) return std::nullopt;
  return ProcessID(value);
}

CheckedPids checkPidOptions(const std::vector<std::string>& include, const std::vector<std::string>& exclude,
                            platform::ProcessTable& table) {
  // A process that runs but is missing from the table (its parent cannot be
  // read) would be taken as ended on the first pass: the filter would never
  // hear it, or never leave it out.
  std::set<ProcessID> listed;
  for (const auto& entry : table.list()) listed.insert(entry.pid);
  CheckedPids checked;
  for (const auto* list : {&include, &exclude}) {
    const std::string option = list == &include ? "--include-pid" : "--exclude-pid";
    for (const std::string& value : *list) {
      const auto pid = parseProcessID(value);
      const char* reason = !pid                 ? "not a positive decimal process ID"
                           : listed.count(*pid) ? nullptr
                           : !table.exists(*pid) ? "no such process"
                                                 : kProcessNotInspectable;
      if (reason != nullptr) return {{}, {}, "invalid " + option + " value \"" + value + "\": " + reason};
      (list == &include ? checked.include : checked.exclude).push_back(*pid);
    }
  }
  return checked;
}

ProcessTrees::ProcessTrees(std::vector<ProcessID> include, std::vector<ProcessID> exclude,
                           platform::ProcessTable& table)
    : table_(table), include_(std::move(include)), exclude_(std::move(exclude)) {}

void ProcessTrees::refresh() { update(table_.list()); }

void ProcessTrees::update(const std::vector<platform::ProcessEntry>& table) {
  // Never empty while we run (we are in it): an empty one could not be read,
  // and the trees stay as they were.
  if (table.empty()) return;
  std::set<ProcessID> alive;
  for (const auto& entry : table) alive.insert(entry.pid);
  // A root is in its tree whenever it lives, until it is first seen gone: a
  // later process under its PID is someone else.
  for (const auto* roots : {&include_, &exclude_}) {
    for (const ProcessID root : *roots) {
      if (!alive.count(root)) ended_.insert(root);
    }
  }
  for (const ProcessID root : include_) {
    if (!ended_.count(root)) included_.insert(root);
  }
  for (const ProcessID root : exclude_) {
    if (!ended_.count(root)) excluded_.insert(root);
  }
  grow(included_, table);
  grow(excluded_, table);
}

bool ProcessTrees::heard(ProcessID pid) const {
  if (excluded_.count(pid)) return false;
  return !includeMode() || included_.count(pid) > 0;
}

}  // namespace audiotap::capture
