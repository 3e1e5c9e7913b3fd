#pragma once

#include <cstdint>
#include <string>

namespace audiotap::platform::common {

// A random (version 4) UUID in the canonical upper-case form,
// XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX, from 16 random bytes.
std::string uuidFromRandomBytes(const std::uint8_t (&random)[16]);

}  // namespace audiotap::platform::common
