// Process loopback: the audio of one process tree, included or excluded
// (Windows 10 build 20348 and later).
#pragma once

#include <audioclient.h>

#include "platform/windows/wasapi/com.h"

namespace audiotap::platform::windows {

// Whether this Windows has process loopback.
bool hasProcessLoopback();

// Activates a client on the tree of `pid`; waits for the activation (which
// completes on a thread of the system's) for at most a few seconds.
HRESULT activateProcessLoopback(DWORD pid, bool include, Com<IAudioClient>& out);

}  // namespace audiotap::platform::windows
