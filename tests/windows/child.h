// Scenarios that need a process of their own (the main loop never returns; a
// console event goes to a whole process group): the suite starts itself again
// with --child=NAME, and the scenario reports through its exit status.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <string>

namespace audiotap::platform::windows::testing {

std::map<std::string, std::function<void()>>& children();

struct ChildRegistration {
  ChildRegistration(const char* name, std::function<void()> body) { children()[name] = std::move(body); }
};

// A scenario named NAME, run in a child of the suite.
#define AUDIOTAP_CHILD(name, ...) \
  const ::audiotap::platform::windows::testing::ChildRegistration name##Registration(#name, __VA_ARGS__)

// Its standard input: an anonymous pipe, a named pipe whose server is ours
// (closed by disconnecting it), NUL, or none at all.
enum class Input { pipe, namedPipe, null, none };

struct Child {
  PROCESS_INFORMATION process{};
  HANDLE input = nullptr;   // the writer of a piped standard input
  HANDLE peek = nullptr;    // a reader of the same pipe, to see what is left in it
  HANDLE output = nullptr;  // the reader of its standard output
  bool named = false;

  Child(const std::string& name, Input input, DWORD creationFlags = 0);
  ~Child();
  // Closes the writer of its standard input (a named pipe's server
  // disconnects first).
  void closeInput();
  // A line from its standard output, without the "\n"; empty at its end.
  std::string readLine();
  // Its exit status as "exit N", or "hang" once `guardMilliseconds` ran out.
  std::string wait(DWORD guardMilliseconds = 30000);
};

// In the child: ends it with `code` unless `condition` holds.
inline void require(bool condition, int code) {
  if (!condition) std::exit(code);
}

// In the child: a line to the parent, through standard output.
void tell(const char* line);

}  // namespace audiotap::platform::windows::testing
