// The owner's key-encryption key, read from the file the setting
// "DRBackupEncryptionKeyFile" names. The file holds one JSON object:
//
//   {"kid": "<key id>", "key": "<the 256-bit key>"}
//
// where the key is 64 hexadecimal digits (either case) or the Base64 of its
// 32 bytes; other members are ignored. The kid is stored, in clear, with
// every blob the key protects, so that the owner knows which key restores it.
//
// The file must be a regular file of the process's effective user that no
// group or other user may read or write (mode 0600 or 0400), of at most
// kMaxKeyFileBytes. A symbolic link as the last path component is refused,
// not followed: the setting must name the key file itself. The file is
// opened once (close-on-exec, no controlling terminal, never blocking on a
// FIFO) and every check is made on the opened file, so what is checked is
// what is read. Reasons for a refusal never hold the key or the file's text.
//
// The file's text, the key's text and the key are read, decoded and kept
// only in secret pages (SecretBuffer.h): left out of core dumps, locked in
// memory where the limit allows, and wiped when released. A "kid" or "key"
// named twice is refused.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_H
#define ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_H

#include <cstddef>
#include <string>

#include "platform/crypto/CryptoKeys.h"

namespace zu {

// The setting that names the key file.
constexpr const char kKeyFileSetting[] = "DRBackupEncryptionKeyFile";
// The largest key file accepted, in bytes.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;
// The longest kid accepted, in characters.
constexpr size_t kMaxKidLength = 1024;

// Reads the key file at `path` into `kek`. False with `reason` set (a
// phrase such as "the key file belongs to another user") when the file
// cannot be used; `kek` is then left wiped.
bool LoadKeyEncryptionKey(const std::string& path, KeyEncryptionKey& kek, std::string& reason);

// Reads the key file's text, the `size` bytes at `text`, into `kek`: the
// JSON checks of LoadKeyEncryptionKey without the file checks. False with
// `reason` set. The text is read in place (KeyFileJson.h); no copy of the
// key's text or bytes is made outside secret pages.
bool ParseKeyEncryptionKey(const char* text, size_t size, KeyEncryptionKey& kek,
                           std::string& reason);
// The same for a text held in a string (tests; the library reads the file
// into secret pages and uses the form above).
bool ParseKeyEncryptionKey(const std::string& text, KeyEncryptionKey& kek, std::string& reason);

// Why `kid` cannot name a key (empty, too long, or holding anything but
// printable ASCII characters, which the blob's metadata header carries as
// they are), or null when it can.
const char* KidProblem(const std::string& kid);

// The message for a key file refused for `reason`: names the setting and
// the reason, never the key.
std::string KeyFileRefusal(const std::string& reason);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_KEY_FILE_H
