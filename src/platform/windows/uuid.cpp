#include "platform/windows/uuid.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstdint>
#include <cstdlib>

#include "platform/common/uuid.h"

namespace audiotap::platform::windows {

std::string randomUUIDString() {
  std::uint8_t bytes[16];
  // A UUID from anything weaker than the system's generator is not worth having.
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    std::abort();
  }
  return common::uuidFromRandomBytes(bytes);
}

}  // namespace audiotap::platform::windows
