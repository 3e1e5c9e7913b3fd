#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "child.h"
#include "platform/processes.h"
#include "platform/windows/handle_output.h"
#include "platform/windows/uuid.h"

namespace audiotap::platform::windows {
namespace {

using testing::Child;
using testing::Input;

struct Pipe {
  HANDLE reader = nullptr, writer = nullptr;
  explicit Pipe(bool anonymous = true) {
    if (anonymous) {
      EXPECT_TRUE(::CreatePipe(&reader, &writer, nullptr, 1 << 16));
    }
  }
  ~Pipe() { closeReader(), closeWriter(); }
  void closeReader() { close(reader); }
  void closeWriter() { close(writer); }
  static void close(HANDLE& handle) {
    if (handle != nullptr) ::CloseHandle(handle);
    handle = nullptr;
  }
  std::string readAll() {
    std::string all;
    char buffer[512];
    DWORD got = 0;
    while (::ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
    return all;
  }
};

// Bytes as they are: a line feed stays one byte and a carriage return is not
// added, whatever stood in front of it, as PCM is full of both.
TEST(HandleOutput, WritesEveryByteAsItIs) {
  const std::string cases[] = {"{\"type\":\"stopped\",\"frames\":0}\n", std::string("\n\0\r\n\x1a\n", 6),
                               std::string(100000, '\n')};
  for (const std::string& bytes : cases) {
    Pipe pipe;
    std::string received;
    std::thread reader([&] { received = pipe.readAll(); });
    EXPECT_TRUE(makeHandleOutput(pipe.writer)->writeAll(bytes.data(), bytes.size()));
    pipe.closeWriter();
    reader.join();
    EXPECT_TRUE(received == bytes) << received.size() << " bytes for " << bytes.size();
  }
}

// The reader is gone: the write fails as POSIX's would ("Broken pipe", which
// is what the "error" event quotes), and every later write fails the same way
// without writing. An anonymous pipe whose reader closed; a named pipe whose
// server disconnected, which is also how wine reports a POSIX pipe's EPIPE.
TEST(HandleOutput, FailsOnceTheReaderIsGoneAndStaysFailed) {
  for (const bool named : {false, true}) {
    Pipe pipe(!named);
    if (named) {
      const wchar_t* name = L"\\\\.\\pipe\\audiotap-handle-output-test";
      pipe.reader = ::CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
      pipe.writer = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(pipe.writer, INVALID_HANDLE_VALUE);
      ::DisconnectNamedPipe(pipe.reader);
    } else {
      pipe.closeReader();
    }
    auto handle = makeHandleOutput(pipe.writer);
    for (int attempt = 0; attempt < 2; ++attempt) {
      errno = 0;
      EXPECT_FALSE(handle->writeAll("{}\n", 3)) << named << attempt;
      EXPECT_EQ(errno, EPIPE) << named << attempt;
      EXPECT_STREQ(std::strerror(errno), "Broken pipe");
    }
  }
}

// Asking a pipe that nobody reads to pass its bytes on must not wait for the
// reader: the orderly stop calls it after "stopped".
TEST(HandleOutput, SynchronizeDoesNotWaitForAReaderOfAPipe) {
  Pipe pipe;
  auto handle = makeHandleOutput(pipe.writer);
  ASSERT_TRUE(handle->writeAll("unread", 6));
  const HANDLE synchronizer = ::CreateThread(
      nullptr, 0,
      [](void* output) -> DWORD {
        static_cast<platform::OutputHandle*>(output)->synchronize();
        return 0;
      },
      handle.get(), 0, nullptr);
  const DWORD waited = ::WaitForSingleObject(synchronizer, 10000);
  // Reading lets a waiting synchronize() return before the handle goes.
  if (waited != WAIT_OBJECT_0) {
    char buffer[6];
    DWORD got = 0;
    ::ReadFile(pipe.reader, buffer, sizeof buffer, &got, nullptr);
    ::WaitForSingleObject(synchronizer, INFINITE);
  }
  ::CloseHandle(synchronizer);
  EXPECT_EQ(waited, DWORD(WAIT_OBJECT_0)) << "synchronize() waited for the reader";
}

// A child that waits for its standard input to end.
AUDIOTAP_CHILD(waitForInput, [] {
  char byte;
  DWORD got = 0;
  while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got == 1) {
  }
  std::exit(0);
});

TEST(ProcessTable, KnowsThisProcessAChildAndItsParent) {
  ProcessTable& table = processTable();
  const ProcessID self = ProcessID(::GetCurrentProcessId());
  EXPECT_EQ(table.self(), self);
  Child child("waitForInput", Input::pipe);
  const ProcessID childID = ProcessID(child.process.dwProcessId);
  const auto entries = table.list();
  const auto parentOf = [&](ProcessID pid) {
    const auto found = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.pid == pid; });
    return found == entries.end() ? ProcessID(-1) : found->parent;
  };
  EXPECT_EQ(parentOf(childID), self);
  EXPECT_NE(parentOf(self), ProcessID(-1)) << "this process is not listed";
  const struct {
    ProcessID pid;
    bool exists;
  } cases[] = {{self, true}, {childID, true}, {0, false}, {-4, false}};
  for (const auto& c : cases) EXPECT_EQ(table.exists(c.pid), c.exists) << c.pid;

  child.closeInput();
  EXPECT_EQ(child.wait(), "exit 0");
  const auto after = table.list();
  EXPECT_TRUE(std::none_of(after.begin(), after.end(), [&](const auto& e) { return e.pid == childID; }))
      << "a child that has ended is still listed";
}

TEST(RandomUUID, IsCanonicalUpperCaseVersion4AndDoesNotRepeat) {
  // X: any upper-case hex digit; Y: 8, 9, A or B. A stuck byte shows as a position with one digit.
  const std::string form = "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX", hex = "0123456789ABCDEF";
  constexpr std::size_t kCount = 5000;
  std::set<std::string> seen;
  std::array<std::bitset<16>, 36> digits{};
  for (std::size_t i = 0; i < kCount; ++i) {
    const std::string uuid = randomUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t p = 0; p < 36; ++p) {
      const std::size_t digit = hex.find(uuid[p]);
      ASSERT_TRUE(form[p] == 'X'   ? digit < 16
                  : form[p] == 'Y' ? digit >= 8 && digit < 12
                                   : uuid[p] == form[p])
          << uuid;
      if (digit < 16) digits[p].set(digit);
    }
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), kCount);
  for (std::size_t p = 0; p < 36; ++p)
    EXPECT_EQ(digits[p].count(), form[p] == 'X' ? 16u : form[p] == 'Y' ? 4u : form[p] == '4' ? 1u : 0u) << p;
}

}  // namespace
}  // namespace audiotap::platform::windows
