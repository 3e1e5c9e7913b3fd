#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bitset>
#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "platform/posix/fd_output.h"
#include "platform/posix/standard_descriptors.h"
#include "platform/posix/uuid.h"

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;
using testing::require;
using testing::runInChild;

struct Pipe {
  int ends[2] = {-1, -1};
  explicit Pipe(bool nonBlockingWriter) {
    EXPECT_EQ(::pipe(ends), 0);
    if (nonBlockingWriter) ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  }
  ~Pipe() {
    close(0);
    close(1);
  }
  void close(int end) {
    if (ends[end] >= 0) ::close(ends[end]);
    ends[end] = -1;
  }
};

// Reads to end of file, pausing between reads so the writer keeps finding the pipe full.
std::string readSlowly(int fd, std::size_t chunk) {
  std::string all;
  std::vector<char> buffer(chunk);
  ssize_t got;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) all.append(buffer.data(), std::size_t(got));
    std::this_thread::sleep_for(20us);
  }
  return all;
}

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = char('a' + (i * 7 + i / 251) % 26);
  return text;
}

extern "C" void interrupt(int) {}

class FdOutputDelivery : public ::testing::TestWithParam<bool> {};

// Blocking: a signal without SA_RESTART cuts the 1 MiB write short again and
// again (short counts and EINTR). Non-blocking: the pipe starts full (EAGAIN).
TEST_P(FdOutputDelivery, EveryByteReachesASlowReaderInOrder) {
  const bool nonBlocking = GetParam();
  struct sigaction action {
  }, previous{};
  action.sa_handler = interrupt;
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);
  Pipe pipe(nonBlocking);
  std::string expected;
  while (nonBlocking) {
    const std::string block = pattern(1000);
    const ssize_t put = ::write(pipe.ends[1], block.data(), block.size());
    if (put <= 0) break;
    expected.append(block, 0, std::size_t(put));
  }
  const std::string payload = pattern(1 << 20);
  expected += payload;

  std::string received;
  std::thread reader([&] { received = readSlowly(pipe.ends[0], 4096); });
  std::atomic<bool> writing{true};
  std::thread interrupter([&, writer = pthread_self()] {
    while (writing && !nonBlocking) {
      ::pthread_kill(writer, SIGUSR2);
      std::this_thread::sleep_for(200us);
    }
  });
  const bool ok = makeFdOutputHandle(pipe.ends[1])->writeAll(payload.data(), payload.size());
  writing = false;
  interrupter.join();
  pipe.close(1);
  reader.join();
  ::sigaction(SIGUSR2, &previous, nullptr);

  EXPECT_TRUE(ok);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, FdOutputDelivery, ::testing::Bool(), [](const auto& info) {
  return info.param ? "NonBlockingFull" : "BlockingInterrupted";
});

class FdOutputFailure : public ::testing::TestWithParam<bool> {};

TEST_P(FdOutputFailure, ReportsFalseAndStaysFailed) {
  // The host closing its end must be a failed write here, not a fatal signal.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Pipe pipe(false);
  const int fd = pipe.ends[1];
  pipe.close(GetParam() ? 0 : 1);
  auto handle = makeFdOutputHandle(fd);
  EXPECT_FALSE(handle->writeAll("{}\n", 3));
  EXPECT_FALSE(handle->writeAll("{}\n", 3));
  handle->synchronize();
  ::sigaction(SIGPIPE, &previous, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, FdOutputFailure, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ReaderClosed" : "DescriptorClosed"; });

class FdOutputConcurrency : public ::testing::TestWithParam<bool> {};

// Event lines from the IO queue and the main queue share standard error.
TEST_P(FdOutputConcurrency, LinesFromTwoThreadsNeverInterleave) {
  Pipe pipe(GetParam());
  auto handle = makeFdOutputHandle(pipe.ends[1]);
  constexpr int kLinesEach = 400;
  std::atomic<bool> allWritten{true};
  auto writeLines = [&](char mark) {
    for (int i = 0; i < kLinesEach; ++i) {
      // Up to PIPE_BUF bytes with the newline: the largest line that stays whole.
      std::string line(1 + (std::size_t(i) * 613) % (PIPE_BUF - 1), mark);
      line += '\n';
      if (!handle->writeAll(line.data(), line.size())) allWritten = false;
    }
  };
  std::string received;
  std::thread reader([&] { received = readSlowly(pipe.ends[0], 3000); });
  std::thread first(writeLines, 'A'), second(writeLines, 'B');
  first.join();
  second.join();
  pipe.close(1);
  reader.join();

  EXPECT_TRUE(allWritten.load());
  int lines = 0, torn = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1) {
    ++lines;
    torn += received.find_first_not_of(received[start], start) < end || end == start;
  }
  EXPECT_EQ(lines, 2 * kLinesEach);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(start, received.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, FdOutputConcurrency, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

TEST(RandomUUID, IsCanonicalUpperCaseVersion4AndDoesNotRepeat) {
  constexpr int kCount = 20000;
  const std::string hex = "0123456789ABCDEF";
  std::set<std::string> seen;
  std::array<std::bitset<16>, 36> digits{};  // a stuck byte shows as a position with one digit
  for (int i = 0; i < kCount; ++i) {
    const std::string uuid = randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t p = 0; p < uuid.size(); ++p) {
      const bool dash = p == 8 || p == 13 || p == 18 || p == 23;
      ASSERT_EQ(uuid[p] == '-', dash) << uuid;
      if (dash) continue;
      ASSERT_NE(hex.find(uuid[p]), std::string::npos) << uuid;
      digits[p].set(hex.find(uuid[p]));
    }
    ASSERT_EQ(uuid[14], '4') << uuid;
    ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), std::size_t(kCount));
  for (std::size_t p = 0; p < 36; ++p) {
    const std::size_t expected = p == 8 || p == 13 || p == 18 || p == 23 ? 0 : p == 14 ? 1 : p == 19 ? 4 : 16;
    EXPECT_EQ(digits[p].count(), expected) << "position " << p;
  }
}

class StandardDescriptors : public ::testing::TestWithParam<std::array<bool, 3>> {};

// Each closed one becomes /dev/null, each open one stays what it was, and the next open() lands above 2.
TEST_P(StandardDescriptors, FillTheClosedOnesWithDevNull) {
  const std::array<bool, 3> closed = GetParam();
  EXPECT_EQ(runInChild([&] {
              struct stat devNull {
              }, before[3], now{};
              require(::stat("/dev/null", &devNull) == 0, 50);
              // Pipes everywhere first, so that "unchanged" differs from /dev/null.
              int ends[2];
              require(::pipe(ends) == 0, 51);
              for (int fd = 0; fd <= 2; ++fd) require(::dup2(ends[fd == 0 ? 0 : 1], fd) == fd, 52);
              for (int fd = 0; fd <= 2; ++fd) require(::fstat(fd, &before[fd]) == 0, 53);
              for (int fd = 0; fd <= 2; ++fd) {
                if (closed[fd]) ::close(fd);
              }
              ensureStandardDescriptors();
              for (int fd = 0; fd <= 2; ++fd) {
                const struct stat& expected = closed[fd] ? devNull : before[fd];
                require(
                    ::fstat(fd, &now) == 0 && now.st_dev == expected.st_dev && now.st_ino == expected.st_ino,
                    10 + fd);
                require((::fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0, 20 + fd);  // a child of ours inherits them
              }
              require(::open("/dev/null", O_RDONLY) > 2, 30);
              std::exit(0);
            }),
            "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Cases, StandardDescriptors,
                         ::testing::Values(std::array{false, false, false}, std::array{true, false, false},
                                           std::array{false, true, false}, std::array{false, false, true},
                                           std::array{true, false, true}, std::array{true, true, true}));

}  // namespace
}  // namespace audiotap::posix
