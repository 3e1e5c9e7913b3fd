#pragma once

#include <string>

namespace audiotap::platform::windows {

// A random (version 4) UUID in the canonical upper-case form,
// XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX, from the system's preferred
// random number generator.
std::string randomUUIDString();

}  // namespace audiotap::platform::windows
