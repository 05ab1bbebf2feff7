// One local file on its way to a block blob, as both ways of storing it
// see it: one Put Blob (SingleRequestUpload.h) or blocks and a block list
// (FileUpload.cpp). UploadFile fills it once and each way adds its own
// details.
#ifndef ZUCLOUD_BLOB_BLOB_FILE_H
#define ZUCLOUD_BLOB_BLOB_FILE_H

#include <string>

#include "platform/host/SequentialFile.h"
#include "session/SessionParams.h"

namespace zu::blob {

struct BlobFile {
  SessionParams params;  // gateway settings, retry count and log
  std::string localPath;
  std::string fileName;
  std::string blobUrl;      // storage URL + encoded blob path, no query
  FileIdentity identity;    // taken when it was opened
  bool contentMd5 = false;  // "bEnableZUCloudDRBackupContentMD5"
};

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_BLOB_FILE_H
