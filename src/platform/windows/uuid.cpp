#include "platform/windows/uuid.h"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstdint>
#include <cstdlib>

namespace audiotap::platform::windows {

std::string randomUUIDString() {
  std::uint8_t bytes[16];
  // A UUID from anything weaker than the system's generator is not worth having.
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    std::abort();
  }
  bytes[6] = std::uint8_t((bytes[6] & 0x0F) | 0x40);
  bytes[8] = std::uint8_t((bytes[8] & 0x3F) | 0x80);

  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace audiotap::platform::windows
