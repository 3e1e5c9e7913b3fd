#include "audiotap_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace audiotap::testing {

AudiotapProcess::AudiotapProcess(const std::vector<std::string>& args,
                                 const std::map<std::string, std::string>& env) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
  std::vector<std::string> strings{AUDIOTAP_BINARY};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : env) merged[name] = value;
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  outReader_ = std::thread([this, fd = out[0]] { collect(fd, out_); });
  errReader_ = std::thread([this, fd = err[0]] { collect(fd, err_); });
}

AudiotapProcess::~AudiotapProcess() {
  if (pid_ > 0) finish(std::chrono::milliseconds(0));
  closeStdin();
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
}

void AudiotapProcess::collect(int fd, std::string& into) {
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    std::lock_guard lock(mutex_);
    into.append(buffer, std::size_t(n));
    changed_.notify_all();
  }
  close(fd);
}

std::optional<nlohmann::json> AudiotapProcess::waitForEvent(const std::string& type,
                                                            std::chrono::milliseconds limit) {
  std::optional<nlohmann::json> found;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] {
    std::size_t start = 0;
    for (std::size_t end; (end = err_.find('\n', start)) != std::string::npos; start = end + 1) {
      auto event = nlohmann::json::parse(err_.substr(start, end - start), nullptr, false);
      if (event.is_object() && event.value("type", "") == type) {
        found = event;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool AudiotapProcess::waitForBytes(std::size_t bytes, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return out_.size() >= bytes; });
}

void AudiotapProcess::closeStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void AudiotapProcess::signal(int signo) {
  if (pid_ > 0) kill(pid_, signo);
}

int AudiotapProcess::finish(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    usleep(10000);
  }
  if (done == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (done == 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string AudiotapProcess::output() {
  std::lock_guard lock(mutex_);
  return out_;
}

std::vector<std::string> AudiotapProcess::lines() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> all;
  std::size_t start = 0;
  for (std::size_t end; (end = err_.find('\n', start)) != std::string::npos; start = end + 1) {
    all.push_back(err_.substr(start, end - start));
  }
  if (start < err_.size()) all.push_back(err_.substr(start));
  return all;
}

std::vector<nlohmann::json> AudiotapProcess::events() {
  std::vector<nlohmann::json> all;
  for (const std::string& line : lines()) all.push_back(nlohmann::json::parse(line, nullptr, false));
  return all;
}

}  // namespace audiotap::testing
