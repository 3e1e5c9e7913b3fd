#include "child.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace audiotap::test {

Child::Child(const Launch& launch) : started_(Clock::now()) {
  // A child that died early must fail the test, not kill the runner on a write.
  ::signal(SIGPIPE, SIG_IGN);
  int inPipe[2] = {-1, -1};
  int outPipe[2];
  int errPipe[2];
  if (!launch.stdinFromDevNull && pipe2(inPipe, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe failed";
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe failed";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.stdinFromDevNull) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

  // The child must see default dispositions and no blocked signals, whatever
  // the test runner set up for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signo);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> argStorage = {AUDIOTAP_SIM_PATH};
  argStorage.insert(argStorage.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (auto& arg : argStorage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> envStorage = {"AUDIOTAP_SIM=" + launch.script};
  for (char** entry = environ; *entry; ++entry) {
    if (std::string(*entry).rfind("AUDIOTAP_SIM=", 0) != 0) envStorage.emplace_back(*entry);
  }
  std::vector<char*> envp;
  for (auto& entry : envStorage) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int spawned = posix_spawn(&pid_, AUDIOTAP_SIM_PATH, &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    ADD_FAILURE() << "posix_spawn failed: " << spawned;
    pid_ = -1;
  }

  if (!launch.stdinFromDevNull) {
    ::close(inPipe[0]);
    in_ = inPipe[1];
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
  fcntl(out_, F_SETFL, O_NONBLOCK);
  fcntl(err_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  for (const int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void Child::drainStdout() {
  char buffer[65536];
  while (out_ >= 0) {
    const ssize_t got = ::read(out_, buffer, sizeof buffer);
    if (got > 0) {
      stdout_.append(buffer, std::size_t(got));
    } else if (got == 0) {
      ::close(out_);
      out_ = -1;
    } else if (errno != EINTR) {
      return;
    }
  }
}

void Child::pumpOnce(milliseconds wait) {
  pollfd fds[2];
  nfds_t count = 0;
  if (out_ >= 0) fds[count++] = {out_, POLLIN, 0};
  if (err_ >= 0) fds[count++] = {err_, POLLIN, 0};
  if (count == 0) {
    reap(false);
    if (!status_) std::this_thread::sleep_for(std::min(wait, milliseconds(5)));
    return;
  }
  if (::poll(fds, count, int(wait.count())) <= 0) return;
  drainStdout();
  if (err_ < 0) return;
  char buffer[4096];
  const ssize_t got = ::read(err_, buffer, sizeof buffer);
  if (got == 0) {
    ::close(err_);
    err_ = -1;
    return;
  }
  if (got < 0) return;
  stderrPending_.append(buffer, std::size_t(got));
  stderrAll_.append(buffer, std::size_t(got));
  // A line is only looked at once the PCM written before it has been read.
  drainStdout();
  for (auto newline = stderrPending_.find('\n'); newline != std::string::npos;
       newline = stderrPending_.find('\n')) {
    const std::string line = stderrPending_.substr(0, newline);
    stderrPending_.erase(0, newline + 1);
    Event event;
    event.at = Clock::now();
    event.stdoutBytes = stdout_.size();
    try {
      event.json = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception& error) {
      ADD_FAILURE() << "not a JSON line on stderr: '" << line << "': " << error.what();
    }
    if (!event.json.is_object()) ADD_FAILURE() << "not a JSON object: '" << line << "'";
    events_.push_back(std::move(event));
  }
}

void Child::reap(bool block) {
  if (pid_ <= 0 || status_) return;
  int raw = 0;
  const pid_t done = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
  if (done != pid_) return;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Child::pumpUntil(const std::function<bool()>& done, milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (exited() && out_ < 0 && err_ < 0) return done();
    pumpOnce(std::min(std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1),
                      milliseconds(50)));
  }
  return true;
}

bool Child::waitForEvent(const std::string& type, milliseconds limit) {
  return pumpUntil([&] { return count(type) > 0; }, limit);
}

bool Child::waitForStdoutBytes(std::size_t bytes, milliseconds limit) {
  return pumpUntil([&] { return stdout_.size() >= bytes; }, limit);
}

bool Child::waitUntilArmed(milliseconds limit) {
  if (in_ < 0) return false;
  writeStdin("\n");
  return pumpUntil(
      [&] {
        int unread = 0;
        return ::ioctl(in_, FIONREAD, &unread) == 0 && unread == 0;
      },
      limit);
}

bool Child::fillStdout(milliseconds limit) {
  // The kernel packs pipe pages only as far as whole writes fit, so a full
  // pipe holds less than its capacity: wait for the level to stop rising.
  const int capacity = ::fcntl(out_, F_GETPIPE_SZ);
  const auto deadline = Clock::now() + limit;
  int previous = -1;
  int steady = 0;
  while (Clock::now() < deadline && !exited()) {
    int unread = 0;
    if (::ioctl(out_, FIONREAD, &unread) != 0) return false;
    steady = unread == previous && unread >= capacity / 2 ? steady + 1 : 0;
    if (steady == 3) return true;
    previous = unread;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return false;
}

void Child::signal(int signo) {
  if (pid_ > 0 && !status_) ::kill(pid_, signo);
}

void Child::writeStdin(const std::string& bytes) {
  if (in_ < 0) return;
  EXPECT_EQ(::write(in_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

void Child::closeStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

int Child::finish(milliseconds limit) {
  if (!pumpUntil([&] { return exited() && out_ < 0 && err_ < 0; }, limit)) {
    ADD_FAILURE() << "audiotap-sim did not end within " << limit.count() << " ms; stderr so far:\n"
                  << stderrAll_;
    ::kill(pid_, SIGKILL);
    reap(true);
    return -1;
  }
  if (!stderrPending_.empty()) ADD_FAILURE() << "unterminated stderr line: '" << stderrPending_ << "'";
  return *status_;
}

std::vector<Event> Child::eventsOfType(const std::string& type) const {
  std::vector<Event> found;
  for (const auto& event : events_) {
    if (event.type() == type) found.push_back(event);
  }
  return found;
}

TempPath::TempPath() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/audiotap-trace-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) ADD_FAILURE() << "mkstemp failed";
  ::close(fd);
  path_ = pattern;
}

TempPath::~TempPath() { ::unlink(path_.c_str()); }

std::vector<std::string> TempPath::lines() const {
  std::vector<std::string> lines;
  std::ifstream file(path_);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

}  // namespace audiotap::test
