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
  int read = -1;
  int write = -1;
  explicit Pipe(bool nonBlockingWriter = false) {
    int ends[2];
    if (::pipe(ends) != 0) throw std::runtime_error("pipe");
    read = ends[0];
    write = ends[1];
    if (nonBlockingWriter) ::fcntl(write, F_SETFL, ::fcntl(write, F_GETFL) | O_NONBLOCK);
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

// Reads everything until end of file, `chunk` bytes at a time, pausing
// between reads so the writer keeps finding the pipe full.
std::string readSlowly(int fd, std::size_t chunk, std::chrono::microseconds pause) {
  std::string all;
  std::vector<char> buffer(chunk);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return all;
    all.append(buffer.data(), std::size_t(got));
    std::this_thread::sleep_for(pause);
  }
}

std::string pattern(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = char('a' + (i * 7 + i / 251) % 26);
  return text;
}

extern "C" void interrupt(int) {}

TEST(FdOutput, InterruptedPartialWritesToASlowReaderStillDeliverEveryByte) {
  // No SA_RESTART: a signal in the middle of a blocked pipe write makes write()
  // return a short count, or -1 with EINTR when nothing had gone yet.
  struct sigaction action {
  }, previous{};
  action.sa_handler = interrupt;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);

  Pipe pipe;
  const std::string payload = pattern(1 << 20);
  std::string received;
  std::thread reader([&] { received = readSlowly(pipe.read, 4096, 50us); });
  std::atomic<bool> writing{true};
  const pthread_t writer = pthread_self();
  std::thread interrupter([&] {
    while (writing) {
      ::pthread_kill(writer, SIGUSR2);
      std::this_thread::sleep_for(200us);
    }
  });

  const bool ok = makeFdOutputHandle(pipe.write)->writeAll(payload.data(), payload.size());
  writing = false;
  interrupter.join();
  pipe.closeWrite();
  reader.join();
  ::sigaction(SIGUSR2, &previous, nullptr);

  EXPECT_TRUE(ok);
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload);
}

TEST(FdOutput, WaitsOnANonBlockingFullPipeUntilTheReaderMakesRoom) {
  Pipe pipe(/*nonBlockingWriter=*/true);
  std::string filler;
  for (;;) {
    const std::string block = pattern(1000);
    const ssize_t put = ::write(pipe.write, block.data(), block.size());
    if (put <= 0) break;
    filler.append(block, 0, std::size_t(put));
  }
  ASSERT_EQ(errno, EAGAIN);

  const std::string payload = pattern(300'000);
  std::string received;
  std::thread reader([&] {
    std::this_thread::sleep_for(10ms);
    received = readSlowly(pipe.read, 8192, 20us);
  });
  const bool ok = makeFdOutputHandle(pipe.write)->writeAll(payload.data(), payload.size());
  pipe.closeWrite();
  reader.join();

  EXPECT_TRUE(ok);
  EXPECT_TRUE(received == filler + payload);
}

struct FailureCase {
  const char* name;
  bool closeReader;  // otherwise the descriptor itself is closed
};

class FdOutputFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FdOutputFailure, ReportsFalseAndStaysFailed) {
  // The host closing its end must be a failed write here, not a fatal signal.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);

  Pipe pipe;
  const int fd = pipe.write;
  if (GetParam().closeReader) {
    pipe.closeRead();
  } else {
    pipe.closeWrite();
  }
  auto handle = makeFdOutputHandle(fd);
  const char line[] = "{\"type\":\"level\"}\n";
  EXPECT_FALSE(handle->writeAll(line, sizeof line - 1));
  EXPECT_FALSE(handle->writeAll(line, sizeof line - 1));
  handle->synchronize();
  ::sigaction(SIGPIPE, &previous, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Cases, FdOutputFailure,
                         ::testing::Values(FailureCase{"ReaderClosed", true},
                                           FailureCase{"DescriptorClosed", false}),
                         [](const auto& info) { return std::string(info.param.name); });

class FdOutputConcurrency : public ::testing::TestWithParam<bool> {};

// Event lines from the IO queue and the main queue share standard error.
TEST_P(FdOutputConcurrency, LinesFromTwoThreadsNeverInterleave) {
  Pipe pipe(/*nonBlockingWriter=*/GetParam());
  auto handle = makeFdOutputHandle(pipe.write);
  constexpr int kLinesEach = 400;
  std::atomic<bool> allWritten{true};
  auto writeLines = [&](char mark) {
    for (int i = 0; i < kLinesEach; ++i) {
      // Up to PIPE_BUF bytes with the newline: the largest size that stays whole.
      std::string line(1 + (std::size_t(i) * 613) % (PIPE_BUF - 1), mark);
      line += '\n';
      if (!handle->writeAll(line.data(), line.size())) allWritten = false;
    }
  };
  std::string received;
  std::thread reader([&] { received = readSlowly(pipe.read, 3000, 10us); });
  std::thread first(writeLines, 'A');
  std::thread second(writeLines, 'B');
  first.join();
  second.join();
  pipe.closeWrite();
  reader.join();

  EXPECT_TRUE(allWritten.load());
  int lines = 0;
  int torn = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1) {
    ++lines;
    const std::string line = received.substr(start, end - start);
    if (line.empty() || line.find_first_not_of(line[0]) != std::string::npos) ++torn;
  }
  EXPECT_EQ(lines, 2 * kLinesEach);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(start, received.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, FdOutputConcurrency, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NonBlocking" : "Blocking"; });

}  // namespace
}  // namespace audiotap::posix
