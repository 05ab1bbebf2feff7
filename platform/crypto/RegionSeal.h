// AES-256-GCM regions sealed and opened in place, in the slot that carries
// them, without a copy (layout in RegionLayout.h). Each region gets a fresh
// random nonce: a file sent again after a resume reuses its content key,
// and random nonces keep a region read anew (even with other bytes) from
// ever repeating a nonce under that key. There is no additional
// authenticated data.
//
// A ContentKey may be shared by threads: each call uses its own cipher
// context.
//
// Where the content key is while a region is sealed or opened: the
// ContentKey's own bytes stay in secret pages (SecretBuffer.h), but the
// AES-GCM context of the call holds the key, expanded into its key
// schedule (whose first round keys are the key's bytes), in OpenSSL's own
// heap, which a core dump includes. That copy lives only during the call:
// the context is freed, and OpenSSL wipes it, before the call returns.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_REGION_SEAL_H
#define ZUCLOUD_PLATFORM_CRYPTO_REGION_SEAL_H

#include <cstddef>

#include "platform/crypto/CryptoKeys.h"

namespace zu {

// Seals one region whose `plainLength` bytes of plaintext (1 to
// kRegionPlainBytes) the caller has placed at region + kRegionNonceBytes:
// writes a random nonce at region[0, 12), the ciphertext over the
// plaintext and the tag after it, StoredLength(plainLength) bytes in all.
// False when the length is outside those bounds (nothing is written) or
// OpenSSL or its random generator fails (the whole region is then wiped,
// so that no plaintext can be sent by mistake).
bool SealRegion(const ContentKey& key, unsigned char* region, size_t plainLength);

// Seals every region of a slot that holds `plainLength` bytes of plaintext,
// region i's at PlainOffsetInSlot(i) (all regions whole but the last).
// The slot must hold StoredLength(plainLength) bytes. 0 bytes seal
// nothing. False as soon as one region fails; the whole slot is then
// wiped, its later regions' plaintext too.
bool SealBlock(const ContentKey& key, unsigned char* slot, size_t plainLength);

// Opens one stored region of `storedLength` bytes (kRegionOverheadBytes + 1
// to kRegionStoredBytes) in place: on success the plaintext,
// storedLength - kRegionOverheadBytes bytes, lies at
// region + kRegionNonceBytes. False when the tag does not match (another
// key, a changed byte) or the length is outside those bounds; after a
// failed tag check the region is wiped rather than left half decrypted.
bool OpenRegion(const ContentKey& key, unsigned char* region, size_t storedLength);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_REGION_SEAL_H
