#pragma once

namespace audiotap::platform::posix {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no descriptor opened later lands on a standard one. Call it before anything
// else opens a descriptor.
void ensureStandardDescriptors();

}  // namespace audiotap::platform::posix
