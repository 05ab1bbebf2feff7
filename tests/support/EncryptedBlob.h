// Key files and encrypted blobs for the tests of the blob service's
// client-side encryption: a key file of the library's form, and the file a
// stored blob restores to, opened here with the core's own primitives (the
// Python SDK's restore is in sdk_decrypt.py).
#ifndef ZUCLOUD_TESTS_SUPPORT_ENCRYPTED_BLOB_H
#define ZUCLOUD_TESTS_SUPPORT_ENCRYPTED_BLOB_H

#include <sys/types.h>

#include <string>

namespace zutest {

// 64 hexadecimal digits of a fixed test key.
constexpr const char* kTestKeyHex =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

// Writes {"kid": kid, "key": keyText} to `path` with `mode`; returns `path`.
std::string WriteKeyFile(const std::string& path, const std::string& kid,
                         const std::string& keyText = kTestKeyHex, mode_t mode = 0600);

// The wrapped content key ("EncryptedKey") of the encryption data
// `encryptionData`, "" when it holds none.
std::string WrappedKeyOf(const std::string& encryptionData);

// The plaintext of a blob's stored bytes `stored`, whose encryption data
// is `encryptionData`, with the key-encryption key of `keyFile`; false when
// the key file cannot be read, the content key does not unwrap or a region
// does not open. `contentKeyHex` receives the content key in hexadecimal.
bool OpenStoredBlob(const std::string& keyFile, const std::string& encryptionData,
                    const std::string& stored, std::string& plain, std::string& contentKeyHex);

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_ENCRYPTED_BLOB_H
