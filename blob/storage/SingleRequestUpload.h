// A small blob file stored with one Put Blob request instead of Put Block
// and Put Block List ("DRBackupUploadSingleRequestMiB", see UploadTuning.h).
//
// The request goes to the same encoded blob URL with the same SAS token as
// the blocks would, under the same retry policy as a Put Block (the same
// attempt limit and 120-second wait), through the send pacer, and succeeds
// only on 201 Created. The file is read whole before the first attempt and
// checked at its end: a file that changed is not sent. An encrypted file
// (BlobEncryption.h) is read region by region into place and sealed there,
// and its stored bytes go with the blob's encryption data; an empty one is
// an empty blob that still carries it. Put Blob replaces the
// blob at once or not at all, so a failure leaves nothing committed. With
// the verify setting the stored blob is checked afterwards (VerifyBlob.h).
#ifndef ZUCLOUD_BLOB_SINGLE_REQUEST_UPLOAD_H
#define ZUCLOUD_BLOB_SINGLE_REQUEST_UPLOAD_H

#include <string>

#include "blob/storage/BlobFile.h"
#include "platform/host/SequentialFile.h"
#include "platform/http/ZuInternetGateway.h"
#include "session/SessionParams.h"

namespace zu::blob {

struct SingleRequestUpload : BlobFile {
  std::string sasToken;
  SequentialFile* file = nullptr;  // open, at its start
  std::string accessTier;          // "DRBackupUploadAccessTier", "" for the default
};

// Stores the file; 1 on success, else 0 with the caller's message. Progress
// is reported at the start (0) and once stored (the whole size).
int UploadInOneRequest(const SingleRequestUpload& upload, std::wstring& errorMessage);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_SINGLE_REQUEST_UPLOAD_H
