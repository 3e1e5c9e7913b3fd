// Standard output and standard error as the process writes them.
#pragma once

#include <cstddef>

namespace audiotap::platform {

class OutputHandle {
 public:
  virtual ~OutputHandle() = default;
  // Writes every byte, in one write where the system allows it, retrying
  // partial writes and interruptions; waits while the descriptor is
  // non-blocking and full. Returns false once the descriptor has failed.
  // Safe to call from any thread; one call never interleaves its bytes with
  // another's on a pipe when it fits in one atomic pipe write.
  virtual bool writeAll(const void* data, std::size_t size) = 0;
  // Asks for written data to reach its destination; failures are dropped.
  virtual void synchronize() = 0;
};

}  // namespace audiotap::platform
