// An output handle on a descriptor that the handle does not own (it never
// closes it). The first real write error is final: later calls return false
// without writing.
#pragma once

#include <memory>

#include "platform/output.h"

namespace audiotap::platform::posix {

std::unique_ptr<platform::OutputHandle> makeFdOutputHandle(int fd);

}  // namespace audiotap::platform::posix
