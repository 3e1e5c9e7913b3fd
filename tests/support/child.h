// A binary run as a host runs it: pipes on all three standard streams (or
// standard input from a file), both output streams read with poll, every line
// of standard error parsed as a JSON event, every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace audiotap::test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
inline constexpr milliseconds kLimit{15000};

struct Event {
  nlohmann::json json;
  // Standard output is drained before a line is looked at: these bytes were
  // all written before the line was.
  std::size_t stdoutBytes = 0;
  std::string type() const { return json.value("type", ""); }
};

struct Launch {
  std::string binary;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;  // set over the runner's own environment
  std::string stdinPath = {};              // empty: a pipe
  std::string stdoutPath = {};             // empty: a pipe
};

class Child {
 public:
  explicit Child(const Launch& launch);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Reads both streams until `done` holds; false when `limit` ran out first.
  bool pumpUntil(const std::function<bool()>& done, milliseconds limit = kLimit);
  bool waitForEvent(const std::string& type, milliseconds limit = kLimit);
  bool waitForBytes(std::size_t bytes, milliseconds limit = kLimit);
  // Writes one byte to standard input and waits until the process has read
  // it: its input watcher, installed last, and so every stop source is armed.
  bool waitUntilArmed();
  // Stops reading standard output until the pipe is full, so the process is
  // blocked in a write when the next step comes.
  bool fillStdout();
  // While false, the waits read standard error only: a host that has stopped
  // reading the audio.
  void readStdout(bool reading) { readingStdout_ = reading; }

  void signal(int signo);
  void writeStdin(const std::string& bytes);
  void closeStdin();
  // The host's ends of the output pipes: the process's next write there fails.
  void closeStdout();
  void closeStderr();
  // Reads both streams to their end and reaps the process: the exit status, or
  // 128 + the signal; -1 (and a test failure) when it did not end in time.
  int finish(milliseconds limit = kLimit);
  bool exited() const { return status_.has_value(); }

  const std::string& pcm() const { return stdout_; }
  const std::vector<Event>& events() const { return events_; }
  std::vector<Event> eventsOfType(const std::string& type) const;
  std::size_t count(const std::string& type) const { return eventsOfType(type).size(); }
  const std::string& stderrText() const { return stderr_; }
  Clock::time_point started() const { return started_; }

 private:
  void pumpOnce();
  void reap(bool block);

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string stdout_, stderr_;
  std::size_t parsed_ = 0;  // stderr_ up to here is in events_
  std::vector<Event> events_;
  std::optional<int> status_;
  bool readingStdout_ = true;
  Clock::time_point started_ = Clock::now();
};

// Exactly one "stopped", the last event, whose frames count the bytes written.
void expectOrderlyEnd(const Child& child);

}  // namespace audiotap::test
