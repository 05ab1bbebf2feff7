// Content keys wrapped under the key-encryption key with AES key wrap
// (RFC 3394, the default initial value A6A6A6A6A6A6A6A6), as the storage
// SDKs' encryption version 2.0 does it: the wrapped data is the protocol
// version "2.0" padded with zero bytes to 8 bytes, then the 32-byte content
// key, so 40 bytes wrap to 48. An unwrapping reader checks that prefix, so a
// key wrapped for another version is refused.
//
// The wrapped key is carried as Base64 text: the "EncryptedKey" of the
// blob's encryption data, and what a resume journal keeps to find the
// content key of a file sent in part.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_KEY_WRAP_H
#define ZUCLOUD_PLATFORM_CRYPTO_KEY_WRAP_H

#include <cstddef>
#include <string>

#include "platform/crypto/CryptoKeys.h"

namespace zu {

// The name of the wrapping algorithm in the encryption data.
constexpr const char kKeyWrapAlgorithm[] = "A256KW";

// RFC 3394 wrap of the `length` bytes at `data` (a multiple of 8, at least
// 16, at most 4096) under the 32-byte `kek`, into `length` + 8 bytes at
// `out`. False when the length is outside those bounds or OpenSSL fails.
bool AesKeyWrap256(const unsigned char* kek, const unsigned char* data, size_t length,
                   unsigned char* out);

// RFC 3394 unwrap of the `length` bytes at `wrapped` (a multiple of 8, at
// least 24, at most 4104) into `length` - 8 bytes at `out`. False when the
// integrity check fails (wrong KEK, damaged input), the length is outside
// those bounds or OpenSSL fails; `out` is then wiped.
bool AesKeyUnwrap256(const unsigned char* kek, const unsigned char* wrapped, size_t length,
                     unsigned char* out);

// The Base64 text of `contentKey` wrapped under `kek` with the version
// prefix; "" when OpenSSL fails.
std::string WrapContentKey(const KeyEncryptionKey& kek, const ContentKey& contentKey);

// The content key from its Base64 `wrapped` text. False (and `contentKey`
// wiped) when the text is no Base64 of 48 bytes, the integrity check fails
// (another KEK, damaged text) or the version prefix is not "2.0".
bool UnwrapContentKey(const KeyEncryptionKey& kek, const std::string& wrapped,
                      ContentKey& contentKey);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_KEY_WRAP_H
