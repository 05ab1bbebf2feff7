#include "blob/storage/StoreHeaders.h"

#include "platform/crypto/EncryptionData.h"

namespace zu::blob {

void AddContentMd5(ZuCURL::commandInfoList& headers, const std::string& md5Base64) {
  if (!md5Base64.empty()) headers.emplace_back("Content-MD5", md5Base64);
}

void AddCommitHeaders(ZuCURL::commandInfoList& headers, const std::string& fileMd5Base64,
                      const std::string& accessTier) {
  if (!fileMd5Base64.empty()) headers.emplace_back("x-ms-blob-content-md5", fileMd5Base64);
  if (!accessTier.empty()) headers.emplace_back("x-ms-access-tier", accessTier);
}

ZuCURL::commandInfoList PutBlobHeaders(const std::string& md5Base64, const std::string& accessTier,
                                       const std::string& encryptionData) {
  ZuCURL::commandInfoList headers;
  headers.emplace_back("x-ms-blob-type", "BlockBlob");
  if (!md5Base64.empty()) AddContentMd5(headers, md5Base64);
  AddCommitHeaders(headers, md5Base64, accessTier);
  AddEncryptionData(headers, encryptionData);
  return headers;
}

void AddEncryptionData(ZuCURL::commandInfoList& headers, const std::string& encryptionData) {
  if (!encryptionData.empty()) {
    headers.emplace_back(std::string("x-ms-meta-") + kEncryptionDataMetadata, encryptionData);
  }
}

}  // namespace zu::blob
