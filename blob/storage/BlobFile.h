// One local file on its way to a block blob, as both ways of storing it
// see it: one Put Blob (SingleRequestUpload.h) or blocks and a block list
// (FileUpload.cpp). UploadFile fills it once and each way adds its own
// details.
#ifndef ZUCLOUD_BLOB_BLOB_FILE_H
#define ZUCLOUD_BLOB_BLOB_FILE_H

#include <atomic>
#include <string>

#include "platform/host/SequentialFile.h"
#include "session/SessionParams.h"

namespace zu::blob {

struct BlobEncryption;
class TokenRefresh;

struct BlobFile {
  SessionParams params;  // gateway settings, retry count and log
  std::string localPath;
  std::string fileName;
  std::string blobUrl;      // storage URL + encoded blob path, no query
  FileIdentity identity;    // taken when it was opened
  bool contentMd5 = false;  // "bEnableZUCloudDRBackupContentMD5"
  bool verify = false;      // "bEnableZUCloudDRBackupVerify": the stored blob is checked
  int maximumBackoff = 16;  // back-off cap of the requests that read the blob's state
  // Set (when not null) once a request that stores (Put Block, Put Blob,
  // Put Block List) is handed to a gateway.
  std::atomic<bool>* sent = nullptr;
  // The file's SAS token, refreshed after a 403 (TokenRefresh.h); not owned.
  TokenRefresh* tokens = nullptr;
  // The pages read leave the page cache (SequentialFile.h).
  bool dropPages = true;
  // "DRBackupEncryptionKeyFile": the file's keys (BlobEncryption.h); null
  // without encryption. Not owned; a resume may swap its content key.
  BlobEncryption* encryption = nullptr;
};

// Marks that a request that stores is about to leave.
inline void MarkSent(const BlobFile& file) {
  if (file.sent != nullptr) file.sent->store(true);
}

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOB_FILE_H
