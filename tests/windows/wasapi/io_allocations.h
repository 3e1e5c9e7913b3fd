// A replaced global operator new (io_allocations.cpp, linked only into the
// live suite) that counts the allocations made on a flagged thread.
#pragma once

#include <atomic>

namespace audiotap::testing {

// Set on the IO queue's thread by its first delivery: from then on, every
// C++ allocation there, the capture's loop between deliveries included.
extern thread_local bool onIoThread;
extern std::atomic<long> ioAllocations;

}  // namespace audiotap::testing
