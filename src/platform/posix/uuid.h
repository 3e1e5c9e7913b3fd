#pragma once

#include <string>

namespace audiotap::platform::posix {

// A random (version 4) UUID in the canonical upper-case form,
// XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX, from the kernel's random source.
std::string randomUUIDString();

}  // namespace audiotap::platform::posix
