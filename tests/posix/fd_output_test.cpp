#include "platform/posix/fd_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace audiotap::posix {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace audiotap::posix
