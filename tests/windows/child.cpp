#include "child.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace audiotap::platform::windows::testing {
namespace {

HANDLE inheritable(HANDLE handle) {
  ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return handle;
}

}  // namespace

std::map<std::string, std::function<void()>>& children() {
  static std::map<std::string, std::function<void()>> all;
  return all;
}

Child::Child(const std::string& name, Input input, DWORD creationFlags) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child=" + std::wstring(name.begin(), name.end());
  std::vector<wchar_t> commandLine(command.begin(), command.end());
  commandLine.push_back(L'\0');

  HANDLE childInput = nullptr, childOutput = nullptr;
  ::CreatePipe(&output, &childOutput, nullptr, 0);
  if (input == Input::pipe) {
    HANDLE reader = nullptr;
    ::CreatePipe(&reader, &this->input, nullptr, 0);
    ::DuplicateHandle(::GetCurrentProcess(), reader, ::GetCurrentProcess(), &peek, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    childInput = inheritable(reader);
  } else if (input == Input::namedPipe) {
    static int count = 0;
    const std::wstring pipeName =
        L"\\\\.\\pipe\\audiotap-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
    this->input = ::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096,
                                     4096, 0, nullptr);
    childInput = inheritable(
        ::CreateFileW(pipeName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    named = true;
  } else if (input == Input::null) {
    childInput = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
    inheritable(childInput);
  }
  inheritable(childOutput);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  const bool started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, creationFlags,
                                        nullptr, nullptr, &startup, &process);
  EXPECT_TRUE(started) << "CreateProcess: " << ::GetLastError();
  if (childInput != nullptr) ::CloseHandle(childInput);
  ::CloseHandle(childOutput);
}

Child::~Child() {
  if (process.hProcess != nullptr) {
    ::TerminateProcess(process.hProcess, 99);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  closeInput();
  for (HANDLE handle : {peek, output}) {
    if (handle != nullptr) ::CloseHandle(handle);
  }
}

void Child::closeInput() {
  if (input != nullptr && named) ::DisconnectNamedPipe(input);
  if (input != nullptr) ::CloseHandle(input);
  input = nullptr;
}

std::string Child::readLine() {
  std::string line;
  char byte;
  DWORD got = 0;
  while (::ReadFile(output, &byte, 1, &got, nullptr) && got == 1 && byte != '\n') line += byte;
  return line;
}

std::string Child::wait(DWORD guardMilliseconds) {
  if (::WaitForSingleObject(process.hProcess, guardMilliseconds) != WAIT_OBJECT_0) return "hang";
  DWORD status = 0;
  ::GetExitCodeProcess(process.hProcess, &status);
  return "exit " + std::to_string(status);
}

void tell(const char* line) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line, DWORD(std::strlen(line)), &written, nullptr);
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "\n", 1, &written, nullptr);
}

}  // namespace audiotap::platform::windows::testing

int main(int argc, char** argv) {
  using audiotap::platform::windows::testing::children;
  if (argc == 2 && std::strncmp(argv[1], "--child=", 8) == 0) {
    const auto found = children().find(argv[1] + 8);
    if (found == children().end()) return 91;
    found->second();
    return 90;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
