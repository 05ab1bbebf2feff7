// Seals of state the library writes for itself and reads back later (the
// header of a resume journal): an HMAC-SHA-256 of the text under a key
// derived from the owner's key-encryption key with HKDF-SHA-256 and a fixed
// label, so that a seal proves the text was written by a holder of that key
// and has not changed since. The derived key lives only for one call and is
// wiped; the key-encryption key itself never keys the MAC.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_STATE_SEAL_H
#define ZUCLOUD_PLATFORM_CRYPTO_STATE_SEAL_H

#include <cstddef>
#include <string>

#include "platform/crypto/CryptoKeys.h"

namespace zu {

// Bytes of a seal (before Base64).
constexpr size_t kStateSealBytes = 32;

// The Base64 text of the seal of `text` under `kek`; "" when OpenSSL fails.
std::string SealStateText(const KeyEncryptionKey& kek, const std::string& text);

// True when `seal` is the Base64 text SealStateText gives for `text` under
// `kek` (compared in constant time); false for any other text, a seal of
// another length or when OpenSSL fails.
bool StateTextSealed(const KeyEncryptionKey& kek, const std::string& text, const std::string& seal);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_STATE_SEAL_H
