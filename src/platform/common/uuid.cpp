#include "platform/common/uuid.h"

namespace audiotap::platform::common {

std::string uuidFromRandomBytes(const std::uint8_t (&random)[16]) {
  std::uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = random[i];
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

}  // namespace audiotap::platform::common
