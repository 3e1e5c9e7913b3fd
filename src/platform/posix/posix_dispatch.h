// The dispatch model on a poll loop, for the Linux backend and the simulator.
//
// runMain() serves the main queue on the calling thread: posted tasks, delayed
// tasks on CLOCK_MONOTONIC, signal sources and read sources. It sleeps in
// poll() while there is nothing to do. Each serial queue owns one thread;
// destroying a queue lets the tasks already posted to it finish first (from
// one of its own tasks, the queue is released without waiting).
//
// Signal sources install a handler with sigaction() on resume() and put back
// the previous disposition (SIG_IGN after ignoreSignal()) when the last
// source for that signal is cancelled or destroyed.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dispatch.h"

namespace audiotap::platform::posix {

std::unique_ptr<platform::Dispatch> makePosixDispatch();

// CLOCK_MONOTONIC in nanoseconds: the clock of every deadline here.
std::int64_t monotonicNanoseconds();

}  // namespace audiotap::platform::posix
