// Client-side encryption of one file's blob ("DRBackupEncryptionKeyFile"):
// the owner's key-encryption key, the file's content key and its wrapped
// text, and what encryption changes in the requests that store the blob.
// The stored bytes are the file's regions sealed in place
// (platform/crypto/RegionLayout.h), so the blob's length is StoredLength of
// the file's; the request that commits the blob (Put Block List, or the Put
// Blob of a small file) carries the encryption data as the blob's metadata
// (platform/crypto/EncryptionData.h), from which the owner's SDK restores
// the file. Nothing here writes a key to the log or into a message.
#ifndef ZUCLOUD_BLOB_STORAGE_BLOB_ENCRYPTION_H
#define ZUCLOUD_BLOB_STORAGE_BLOB_ENCRYPTION_H

#include <memory>
#include <string>

#include "platform/crypto/CryptoKeys.h"
#include "platform/host/FXFile.h"
#include "platform/host/SequentialFile.h"

class EvDebug;

namespace zu::blob {

struct BlobEncryption {
  KeyEncryptionKey kek;    // from the key file
  ContentKey contentKey;   // this file's
  std::string wrappedKey;  // contentKey wrapped under kek, Base64: the blob's and the journal's
};

// With `keyFile` set: loads the key-encryption key and makes the file's
// fresh content key into `encryption`. False, with an Error line under
// `tag` and the caller's message, when the key file is refused (the
// message of KeyFileRefusal) or no content key can be made. An empty
// `keyFile` leaves `encryption` null: no encryption.
bool StartEncryption(EvDebug* log, const char* tag, const std::string& keyFile,
                     const std::string& localPath, std::unique_ptr<BlobEncryption>& encryption,
                     std::wstring& errorMessage);

// Takes the content key whose wrapped text is `wrapped` (a resume
// journal's) in place of the fresh one; false, the fresh one kept, when it
// does not unwrap under this key-encryption key.
bool AdoptWrappedKey(BlobEncryption& encryption, const std::string& wrapped);

// The bytes storage holds for `plainLength` bytes of the file: their
// StoredLength when encrypted, the same number otherwise.
unsigned long long StoredBytes(const BlobEncryption* encryption, unsigned long long plainLength);

// The blob's encryption data (the "encryptiondata" metadata); "" without
// encryption.
std::string EncryptionDataOf(const BlobEncryption* encryption);

// Reads up to `length` bytes of the file's plaintext into `slot` region by
// region, each at its place (PlainOffsetInSlot), so that the slot can be
// sealed in place; `got` is short only at the end of the file.
CPzError ReadRegions(SequentialFile& file, char* slot, unsigned long long length,
                     unsigned long long& got);

// Seals the `plainLength` bytes ReadRegions put into `slot`
// (StoredBytes(plainLength) in all). False when it could not: the slot is
// then wiped and must not be sent.
bool SealSlot(const BlobEncryption& encryption, char* slot, unsigned long long plainLength);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_STORAGE_BLOB_ENCRYPTION_H
