#include "blob/storage/StoreHeaders.h"

namespace zu::blob {

void AddContentMd5(ZuCURL::commandInfoList& headers, const std::string& md5Base64) {
  if (!md5Base64.empty()) headers.emplace_back("Content-MD5", md5Base64);
}

void AddCommitHeaders(ZuCURL::commandInfoList& headers, const std::string& fileMd5Base64,
                      const std::string& accessTier) {
  if (!fileMd5Base64.empty()) headers.emplace_back("x-ms-blob-content-md5", fileMd5Base64);
  if (!accessTier.empty()) headers.emplace_back("x-ms-access-tier", accessTier);
}

}  // namespace zu::blob
