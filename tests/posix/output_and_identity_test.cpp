#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "platform/posix/fd_output.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"
#include "support/platform_checks.h"

namespace audiotap::platform::posix {
namespace {

using testing::require;
using testing::runInChild;

struct Pipe {
  int ends[2] = {-1, -1};
  explicit Pipe(bool nonBlockingWriter) {
    EXPECT_EQ(::pipe(ends), 0);
    if (nonBlockingWriter) ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  }
  ~Pipe() { close(0), close(1); }
  void close(int end) {
    if (ends[end] >= 0) ::close(ends[end]);
    ends[end] = -1;
  }
};

// To end of file, in small reads, so that the writer keeps finding the pipe full.
std::string readAll(int fd) {
  std::string all;
  char buffer[512];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (got > 0) all.append(buffer, std::size_t(got));
    if (got < 0 && errno != EINTR) break;
  }
  return all;
}

std::atomic<int> interrupts{0};
extern "C" void interrupt(int) { interrupts.fetch_add(1); }

// The pipe starts full. Non-blocking: EAGAIN, then each write takes part.
// Blocking: signals without SA_RESTART interrupt the write on the full pipe
// (EINTR) before the reader starts, then cut the writes short.
TEST(FdOutput, EveryByteOfALargeWriteReachesTheReaderInOrder) {
  struct sigaction action {
  }, previous{};
  action.sa_handler = interrupt;
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
  for (const bool nonBlocking : {true, false}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    Pipe pipe(true);
    std::string expected, payload(1 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = char('a' + (i * 7 + i / 251) % 26);
    for (ssize_t put; (put = ::write(pipe.ends[1], payload.data(), 1000)) > 0;)
      expected.append(payload, 0, std::size_t(put));
    expected += payload;
    if (!nonBlocking) ::fcntl(pipe.ends[1], F_SETFL, 0);
    interrupts = 0;
    std::string received;
    std::atomic<bool> writing{true};
    std::thread reader([&] {
      while (!nonBlocking && interrupts < 3 && writing) std::this_thread::yield();
      received = readAll(pipe.ends[0]);
    });
    std::thread interrupter([&, writer = pthread_self()] {
      while (writing && !nonBlocking) {
        ::pthread_kill(writer, SIGUSR2);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    EXPECT_TRUE(makeFdOutputHandle(pipe.ends[1])->writeAll(payload.data(), payload.size()));
    writing = false;
    interrupter.join();
    pipe.close(1);
    reader.join();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
  }
  ::sigaction(SIGUSR2, &previous, nullptr);
}

// Reader gone (with SIGPIPE ignored, as the host closing its end must not be
// fatal), then a closed descriptor whose number names a working pipe again.
TEST(FdOutput, FailsOnceTheReaderOrTheDescriptorIsGoneAndStaysFailed) {
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Pipe readerGone(false), closed(false), later(false);
  readerGone.close(0);
  EXPECT_FALSE(makeFdOutputHandle(readerGone.ends[1])->writeAll("{}\n", 3));
  ::sigaction(SIGPIPE, &previous, nullptr);
  const int fd = closed.ends[1];
  auto handle = makeFdOutputHandle(fd);
  closed.close(1);
  EXPECT_FALSE(handle->writeAll("{}\n", 3));
  ASSERT_EQ(::dup2(later.ends[1], fd), fd);
  ::fcntl(later.ends[0], F_SETFL, O_NONBLOCK);
  char byte;
  EXPECT_FALSE(handle->writeAll("{}\n", 3));
  EXPECT_EQ(::read(later.ends[0], &byte, 1), -1) << "the failed handle wrote";
  ::close(fd);
}

TEST(RandomUUID, IsCanonicalUpperCaseVersion4AndDoesNotRepeat) {
  audiotap::testing::expectRandomUUIDs(randomUUIDString);
}

// Each closed one becomes /dev/null, each open one stays what it was, and the
// next open() lands above 2.
TEST(StandardDescriptors, FillTheClosedOnesWithDevNull) {
  for (const std::array<bool, 3> closed :
       {std::array{false, true, false}, std::array{true, false, true}, std::array{true, true, true}}) {
    EXPECT_EQ(
        runInChild([&] {
          struct stat devNull {
          }, before[3], now{};
          require(::stat("/dev/null", &devNull) == 0, 50);
          // Pipes everywhere first, so that "unchanged" differs from /dev/null.
          int ends[2];
          require(::pipe(ends) == 0, 51);
          for (int fd = 0; fd <= 2; ++fd) {
            require(::dup2(ends[fd == 0 ? 0 : 1], fd) == fd && ::fstat(fd, &before[fd]) == 0, 52);
            if (closed[fd]) ::close(fd);
          }
          ensureStandardDescriptors();
          for (int fd = 0; fd <= 2; ++fd) {
            const struct stat& expected = closed[fd] ? devNull : before[fd];
            require(::fstat(fd, &now) == 0 && now.st_dev == expected.st_dev && now.st_ino == expected.st_ino,
                    10 + fd);
            require((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0, 20 + fd);  // a child of ours inherits them
          }
          require(::open("/dev/null", O_RDONLY) > 2, 30);
          std::exit(0);
        }),
        "exit 0")
        << closed[0] << closed[1] << closed[2];
  }
}

}  // namespace
}  // namespace audiotap::platform::posix
