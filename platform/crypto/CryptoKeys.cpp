#include "platform/crypto/CryptoKeys.h"

#include <openssl/rand.h>

namespace zu {

SecretKey32::SecretKey32() : m_bytes(kSize) {}

bool MakeContentKey(ContentKey& key) {
  if (RAND_bytes(key.data(), static_cast<int>(SecretKey32::kSize)) == 1) return true;
  key.Wipe();
  return false;
}

}  // namespace zu
