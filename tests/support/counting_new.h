// A replaced global operator new that counts the allocations made on threads
// flagged as IO threads. Linked (counting_new.cpp) only into the binaries
// that prove the IO path allocates nothing.
#pragma once

#include <atomic>

namespace audiotap::test {

// Set on a thread while it runs what must not allocate.
extern thread_local bool onIoThread;
extern std::atomic<long> ioAllocations;

}  // namespace audiotap::test
