// Runs the audiotap binary as a host does: pipes on all three standard
// descriptors, stdout and stderr collected by their own threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace audiotap::testing {

class AudiotapProcess {
 public:
  AudiotapProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});
  ~AudiotapProcess();

  // The first event of that type, waiting at most `limit` for it.
  std::optional<nlohmann::json> waitForEvent(const std::string& type, std::chrono::milliseconds limit);
  // Waits at most `limit` until standard output holds at least `bytes`.
  bool waitForBytes(std::size_t bytes, std::chrono::milliseconds limit);
  void closeStdin();
  void signal(int signo);
  // The exit status, or -1 when it had to be killed after `limit`.
  int finish(std::chrono::milliseconds limit);

  std::string output();
  std::vector<std::string> lines();
  std::vector<nlohmann::json> events();

 private:
  void collect(int fd, std::string& into);

  pid_t pid_ = -1;
  int in_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::thread outReader_, errReader_;
};

}  // namespace audiotap::testing
