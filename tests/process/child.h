// audiotap-sim run as a host runs it: pipes on all three standard streams,
// both output streams read to their end, every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace audiotap::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Event {
  nlohmann::json json;
  Clock::time_point at;
  // PCM bytes read once standard output had been drained after this line came.
  std::size_t stdoutBytes = 0;

  std::string type() const { return json.value("type", ""); }
};

struct Launch {
  std::vector<std::string> args;
  std::string script;  // AUDIOTAP_SIM
  bool stdinFromDevNull = false;
};

class Child {
 public:
  explicit Child(const Launch& launch);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Reads both streams until `done` holds or `limit` runs out; false on the latter.
  bool pumpUntil(const std::function<bool()>& done, milliseconds limit = milliseconds(10000));
  bool waitForEvent(const std::string& type, milliseconds limit = milliseconds(10000));
  bool waitForStdoutBytes(std::size_t bytes, milliseconds limit = milliseconds(10000));

  // Writes one byte to standard input and waits until the process has read
  // it: its stop sources are installed from then on, since the input watcher
  // comes last.
  bool waitUntilArmed(milliseconds limit = milliseconds(10000));

  // Stops reading standard output until the pipe is full, so the process is
  // blocked in a write when the next step comes.
  bool fillStdout(milliseconds limit = milliseconds(10000));

  void signal(int signo);
  void writeStdin(const std::string& bytes);
  void closeStdin();

  // Reads both streams to their end and reaps the process. The exit status, or
  // 128 + signal number; -1 (and a test failure) when it did not end in time.
  int finish(milliseconds limit = milliseconds(10000));
  bool exited() const { return status_.has_value(); }

  const std::string& pcm() const { return stdout_; }
  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> eventsOfType(const std::string& type) const;
  std::size_t count(const std::string& type) const { return eventsOfType(type).size(); }
  // Raw standard-error text, for failure messages.
  const std::string& stderrText() const { return stderrAll_; }
  Clock::time_point started() const { return started_; }

 private:
  void pumpOnce(milliseconds wait);
  void drainStdout();
  void reap(bool block);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderrPending_;
  std::string stderrAll_;
  std::vector<Event> events_;
  std::optional<int> status_;
  Clock::time_point started_;
};

// A fresh, empty file path for a trace; removed with the object.
class TempPath {
 public:
  TempPath();
  ~TempPath();
  const std::string& path() const { return path_; }
  std::vector<std::string> lines() const;

 private:
  std::string path_;
};

}  // namespace audiotap::test
