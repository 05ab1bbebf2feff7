// The blob's encryption data: the JSON text stored as the blob's metadata
// "encryptiondata" (the request header x-ms-meta-encryptiondata), from which
// a reader with the key-encryption key restores the file. Its text is the
// one the storage SDKs write for encryption version 2.0, member for member
// and in their order, with Python's separators (", " and ": "):
//
//   {"WrappedContentKey": {"KeyId": "<kid>", "EncryptedKey": "<Base64>",
//   "Algorithm": "A256KW"}, "EncryptionAgent": {"Protocol": "2.0",
//   "EncryptionAlgorithm": "AES_GCM_256"}, "EncryptedRegionInfo":
//   {"DataLength": 4194304, "NonceLength": 12}, "KeyWrappingMetadata":
//   {"EncryptionLibrary": "zucloud <version>"}, "EncryptionMode": "FullBlob"}
//
// (on one line). Each SDK names itself as the EncryptionLibrary; readers
// do not check it.
#ifndef ZUCLOUD_PLATFORM_CRYPTO_ENCRYPTION_DATA_H
#define ZUCLOUD_PLATFORM_CRYPTO_ENCRYPTION_DATA_H

#include <string>

namespace zu {

// The name of the blob metadata that holds the encryption data.
constexpr const char kEncryptionDataMetadata[] = "encryptiondata";

// The encryption data of a blob whose content key, wrapped under the key
// `kid` names, is the Base64 text `wrappedKey` (from WrapContentKey). ""
// when `kid` has a KidProblem or `wrappedKey` is empty or holds anything
// but Base64 characters.
std::string EncryptionDataJson(const std::string& kid, const std::string& wrappedKey);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_CRYPTO_ENCRYPTION_DATA_H
