#include "platform/text/RandomText.h"

#include <openssl/rand.h>

#include <vector>

namespace zu {

std::string RandomHex(size_t digits) {
  std::vector<unsigned char> bytes((digits + 1) / 2);
  if (!bytes.empty() && RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    return std::string();
  }
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(digits);
  for (size_t i = 0; i < digits; ++i) {
    const unsigned char byte = bytes[i / 2];
    text += kHex[i % 2 == 0 ? byte >> 4 : byte & 0x0F];
  }
  return text;
}

}  // namespace zu
