// The contract on the Linux source, against the private server the test
// command starts (PulseAudio, then PipeWire); every case skips without one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/linux/pulse_source.h"
#include "platform/posix/posix_dispatch.h"
#include "pulse_support.h"
#include "source_contract.h"

namespace audiotap::contract {
namespace {

// The tone, from sox through pacat, in a process group of its own.
pid_t player = -1;

void startTone(const std::string& sink) {
  const std::string command =
      "sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth 60 sine 997 vol 0.5 | pacat --device='" + sink +
      "' --format=s16le --rate=48000 --channels=2 --latency-msec=50";
  player = ::fork();
  if (player == 0) {
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
}

void stopTone() {
  if (player <= 0) return;
  ::kill(-player, SIGTERM);
  ::kill(player, SIGTERM);
  ::waitpid(player, nullptr, 0);
  player = -1;
}

}  // namespace

Target contractTarget() {
  const auto server = test::givenServer();
  if (!server) return {nullptr, nullptr, nullptr, test::kNoServerReason};
  static const auto dispatch = platform::posix::makePosixDispatch();
  return {
      [] { return std::make_unique<platform::linux::PulseSource>(*dispatch); },
      [sink = server->sink] { startTone(sink); },
      stopTone,
      "",
  };
}

}  // namespace audiotap::contract
