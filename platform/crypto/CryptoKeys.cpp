#include "platform/crypto/CryptoKeys.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

namespace zu {

SecretKey32::SecretKey32() { std::memset(m_bytes, 0, kSize); }

SecretKey32::~SecretKey32() { Wipe(); }

SecretKey32::SecretKey32(SecretKey32&& other) noexcept {
  std::memcpy(m_bytes, other.m_bytes, kSize);
  other.Wipe();
}

SecretKey32& SecretKey32::operator=(SecretKey32&& other) noexcept {
  if (this != &other) {
    std::memcpy(m_bytes, other.m_bytes, kSize);
    other.Wipe();
  }
  return *this;
}

void SecretKey32::Wipe() { OPENSSL_cleanse(m_bytes, kSize); }

bool MakeContentKey(ContentKey& key) {
  if (RAND_bytes(key.data(), static_cast<int>(SecretKey32::kSize)) == 1) return true;
  key.Wipe();
  return false;
}

}  // namespace zu
