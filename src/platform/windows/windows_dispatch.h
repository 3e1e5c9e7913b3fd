// The dispatch model on Win32 threads and events, for the Windows backend.
//
// runMain() serves the main queue on the calling thread: posted tasks and
// delayed tasks on the monotonic clock; it sleeps on an event while there is
// nothing to do. Each serial queue owns one thread; destroying a queue lets
// the tasks already posted to it finish first (from one of its own tasks, the
// queue is released without waiting).
//
// The requests to stop are the console's control events, the end of input is
// seen by a thread that reads standard input. POSIX signals and descriptors
// do not exist here: sources made for them never fire.
#pragma once

#include <windows.h>

#include <memory>

#include "platform/dispatch.h"

namespace audiotap::platform::windows {

std::unique_ptr<platform::Dispatch> makeWindowsDispatch();

// What the console calls on its own thread for each control event. For the
// console's closing, a logoff or a shutdown, Windows ends the process as soon
// as this returns: it holds until the stop has ended the process, or about
// three seconds.
BOOL WINAPI consoleControl(DWORD event);

}  // namespace audiotap::platform::windows
