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
#include <thread>

extern char** environ;

namespace audiotap::test {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> all;
  for (auto& s : strings) all.push_back(s.data());
  all.push_back(nullptr);
  return all;
}

// Appends what `fd` holds now to `into`; closes it at its end.
void readAvailable(int& fd, std::string& into) {
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, std::size_t(got));
    } else if (got == 0) {
      ::close(fd);
      fd = -1;
    } else if (errno != EINTR) {
      return;
    }
  }
}

}  // namespace

Child::Child(const Launch& launch) {
  // A child that died early must fail the test, not kill the runner on a write.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if (launch.stdinPath.empty()) pipe2(in, O_CLOEXEC);
  if (launch.stdoutPath.empty()) pipe2(out, O_CLOEXEC);
  pipe2(err, O_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (launch.stdinPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, launch.stdinPath.c_str(), O_RDONLY, 0);
  }
  if (launch.stdoutPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, launch.stdoutPath.c_str(), O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // Default dispositions and no blocked signals, whatever the runner set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigemptyset(&none);
  for (const int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signo);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> args = {launch.binary}, env;
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  for (char** entry = environ; *entry; ++entry) {
    const std::string text(*entry);
    if (!launch.env.count(text.substr(0, text.find('=')))) env.push_back(text);
  }
  for (const auto& [name, value] : launch.env) env.push_back(name + "=" + value);
  const int spawned = posix_spawn(&pid_, launch.binary.c_str(), &actions, &attributes, pointers(args).data(),
                                  pointers(env).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    ADD_FAILURE() << "could not start " << launch.binary << ": " << spawned;
    pid_ = -1;
    status_ = -1;
  }
  for (const int fd : {in[0], out[1], err[1]}) {
    if (fd >= 0) ::close(fd);
  }
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (out_ >= 0) fcntl(out_, F_SETFL, O_NONBLOCK);
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

void Child::pumpOnce() {
  if (out_ < 0 && err_ < 0) {
    reap(false);
    if (!status_) std::this_thread::sleep_for(milliseconds(5));
    return;
  }
  // Closed (or, while not read, hidden) ones are negative, and ignored.
  pollfd fds[2] = {{readingStdout_ ? out_ : -1, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, 20) <= 0) {
    if (!readingStdout_ && err_ < 0) reap(false);
    return;
  }
  if (readingStdout_) readAvailable(out_, stdout_);
  readAvailable(err_, stderr_);
  if (readingStdout_) readAvailable(out_, stdout_);  // the PCM written before the lines just read
  for (std::size_t end; (end = stderr_.find('\n', parsed_)) != std::string::npos; parsed_ = end + 1) {
    const std::string line = stderr_.substr(parsed_, end - parsed_);
    Event event{nlohmann::json::parse(line, nullptr, false), stdout_.size()};
    if (!event.json.is_object() || !event.json.contains("type") || !event.json["type"].is_string()) {
      ADD_FAILURE() << "not an event on stderr: '" << line << "'";
    }
    events_.push_back(std::move(event));
  }
}

void Child::reap(bool block) {
  int raw = 0;
  if (pid_ <= 0 || status_ || ::waitpid(pid_, &raw, block ? 0 : WNOHANG) != pid_) return;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool Child::pumpUntil(const std::function<bool()>& done, milliseconds limit) {
  for (const auto deadline = Clock::now() + limit; !done(); pumpOnce()) {
    if (Clock::now() >= deadline || (exited() && out_ < 0 && err_ < 0)) return done();
  }
  return true;
}

bool Child::waitForEvent(const std::string& type, milliseconds limit) {
  return pumpUntil([&] { return count(type) > 0; }, limit);
}

bool Child::waitForBytes(std::size_t bytes, milliseconds limit) {
  return pumpUntil([&] { return stdout_.size() >= bytes; }, limit);
}

bool Child::waitUntilArmed() {
  if (in_ < 0) return false;
  writeStdin("\n");
  return pumpUntil([&] {
    int unread = 0;
    return ::ioctl(in_, FIONREAD, &unread) == 0 && unread == 0;
  });
}

bool Child::fillStdout() {
  // The kernel packs pipe pages only as far as whole writes fit, so a full
  // pipe holds less than its capacity: wait for the level to stop rising.
  const int capacity = ::fcntl(out_, F_GETPIPE_SZ);
  const auto deadline = Clock::now() + kLimit;
  for (int previous = -1, steady = 0; Clock::now() < deadline && !exited();) {
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
  if (in_ >= 0) {
    EXPECT_EQ(::write(in_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
}

void Child::closeStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void Child::closeStdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

void Child::closeStderr() {
  if (err_ >= 0) ::close(err_);
  err_ = -1;
}

int Child::finish(milliseconds limit) {
  if (!pumpUntil([&] { return exited() && out_ < 0 && err_ < 0; }, limit)) {
    ADD_FAILURE() << "the process did not end within " << limit.count() << " ms; stderr so far:\n" << stderr_;
    ::kill(pid_, SIGKILL);
    reap(true);
    return -1;
  }
  if (parsed_ != stderr_.size())
    ADD_FAILURE() << "unterminated stderr line: '" << stderr_.substr(parsed_) << "'";
  return *status_;
}

std::vector<Event> Child::eventsOfType(const std::string& type) const {
  std::vector<Event> found;
  for (const auto& event : events_) {
    if (event.type() == type) found.push_back(event);
  }
  return found;
}

void expectOrderlyEnd(const Child& child) {
  ASSERT_EQ(child.count("stopped"), 1u) << child.stderrText();
  const nlohmann::json& stopped = child.events().back().json;
  ASSERT_EQ(stopped.value("type", ""), "stopped") << child.stderrText();
  EXPECT_EQ(stopped.size(), 2u) << stopped;
  ASSERT_TRUE(stopped.contains("frames") && stopped["frames"].is_number_integer()) << stopped;
  EXPECT_EQ(child.pcm().size(), 2 * stopped["frames"].get<std::size_t>());
}

}  // namespace audiotap::test
