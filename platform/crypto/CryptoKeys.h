// The keys of client-side encryption: the owner's key-encryption key (KEK),
// which never leaves the machine, and the content key made fresh for each
// file, which travels only wrapped under the KEK.
//
// Key bytes live in SecretKey32 objects, in pages of their own that a core
// dump leaves out and that are wiped when the key is destroyed
// (SecretBuffer.h). Nothing here writes key bytes to the log or into a
// message.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_KEYS_H
#define ZUCLOUD_PLATFORM_CRYPTO_KEYS_H

#include <cstddef>
#include <string>

#include "platform/crypto/SecretBuffer.h"

namespace zu {

// 32 bytes of key material (an AES-256 key), all zero until filled, in a
// SecretBuffer. Move-only: a move hands the key's pages over (the source
// holds no key afterwards, only destroying it or assigning to it is
// allowed); a move assignment wipes the key it replaces. Throws
// std::bad_alloc when no secret pages can be had.
class SecretKey32 {
 public:
  static constexpr size_t kSize = 32;

  SecretKey32();
  SecretKey32(SecretKey32&& other) noexcept = default;
  SecretKey32& operator=(SecretKey32&& other) noexcept = default;
  SecretKey32(const SecretKey32&) = delete;
  SecretKey32& operator=(const SecretKey32&) = delete;

  // The kSize bytes of the key.
  const unsigned char* data() const { return m_bytes.data(); }
  unsigned char* data() { return m_bytes.data(); }
  // Sets every byte to zero.
  void Wipe() { m_bytes.Wipe(); }

 private:
  SecretBuffer m_bytes;
};

// The owner's key-encryption key: its identifier, stored in every blob's
// encryption data so that a reader can find the key, and the key itself.
struct KeyEncryptionKey {
  std::string kid;
  SecretKey32 key;
};

// The key that encrypts one file's regions.
class ContentKey : public SecretKey32 {};

// Fills `key` with fresh random bytes from the system's cryptographic
// generator. False (and `key` wiped) when the generator fails.
bool MakeContentKey(ContentKey& key);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_KEYS_H
