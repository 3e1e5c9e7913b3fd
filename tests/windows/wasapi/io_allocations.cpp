#include "io_allocations.h"

#include <cstdlib>
#include <new>

namespace audiotap::testing {
thread_local bool onIoThread = false;
std::atomic<long> ioAllocations{0};
}  // namespace audiotap::testing

void* operator new(std::size_t size) {
  if (audiotap::testing::onIoThread) ++audiotap::testing::ioAllocations;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
