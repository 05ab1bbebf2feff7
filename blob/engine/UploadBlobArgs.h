// What the producer (ZUCloudAzureService::UploadBlobChunks) and each
// uploader task (ZUCloudAzureService::UploadBlob) are handed: the pass's
// description, its slot board and the producer's own state. The pass owns
// all three and outlives both thread routines.
#ifndef ZUCLOUD_BLOB_ENGINE_UPLOAD_BLOB_ARGS_H
#define ZUCLOUD_BLOB_ENGINE_UPLOAD_BLOB_ARGS_H

#include "blob/engine/SlotBoard.h"
#include "blob/engine/UploadDescription.h"

struct UploadBlobArgs {
  const zu::blob::UploadDescription& description;
  zu::blob::SlotBoard& board;
  zu::blob::ProducerState& producer;  // the producer's alone
};

#endif  // ZUCLOUD_BLOB_ENGINE_UPLOAD_BLOB_ARGS_H
