#include "counting_new.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace audiotap::test {
thread_local bool onIoThread = false;
std::atomic<long> ioAllocations{0};
}  // namespace audiotap::test

namespace {
void* allocate(std::size_t size) {
  if (audiotap::test::onIoThread) audiotap::test::ioAllocations.fetch_add(1, std::memory_order_relaxed);
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

// Over-aligned blocks by hand, the block malloc gave kept just before them:
// Windows' C library has no aligned_alloc that free() could release.
void* allocate(std::size_t size, std::align_val_t alignment) {
  const std::size_t align = std::size_t(alignment);
  void* raw = allocate(size + align + sizeof(void*));
  const std::uintptr_t address = (std::uintptr_t(raw) + sizeof(void*) + align - 1) & ~std::uintptr_t(align - 1);
  reinterpret_cast<void**>(address)[-1] = raw;
  return reinterpret_cast<void*>(address);
}

void release(void* memory, std::align_val_t) noexcept {
  if (memory != nullptr) std::free(static_cast<void**>(memory)[-1]);
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate(size, alignment); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t alignment) noexcept { release(memory, alignment); }
void operator delete[](void* memory, std::align_val_t alignment) noexcept { release(memory, alignment); }
void operator delete(void* memory, std::size_t, std::align_val_t alignment) noexcept { release(memory, alignment); }
void operator delete[](void* memory, std::size_t, std::align_val_t alignment) noexcept { release(memory, alignment); }
