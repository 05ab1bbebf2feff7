// The upload of one file to its block blob, as UploadFile hands it over:
// the file opened with its identity, the plan checked, then either one Put
// Blob (a small file) or passes of blocks ending in the block list commit.
#ifndef ZUCLOUD_BLOB_ENGINE_FILE_UPLOAD_H
#define ZUCLOUD_BLOB_ENGINE_FILE_UPLOAD_H

#include <memory>
#include <string>

#include "blob/engine/UploadPlan.h"
#include "blob/storage/BlobFile.h"
#include "platform/host/SequentialFile.h"
#include "session/UploadTuning.h"

class EvDebug;

namespace zu::blob {

// Log tag of UploadFile's lines.
constexpr const char* kUploadFileTag = "UploadFile";

// Opens the file at `path` (`sourceDir` and the file name joined) and
// takes its identity; null, with the failure logged and the caller's
// message naming the path and the reason, when it cannot be opened or
// sized. `dropPages`: the pages read leave the page cache.
std::unique_ptr<SequentialFile> OpenFileForUpload(EvDebug* log, const std::string& sourceDir,
                                                  const std::string& path, bool dropPages,
                                                  FileIdentity& identity,
                                                  std::wstring& errorMessage);

// The checks and the plan before any request: an access tier the setting
// cannot name and a file no blob can hold are refused with the caller's
// message (false); a block size raised for a large file, or to whole
// regions for an `encrypted` one, is logged. Sets the process's bandwidth
// cap from `tuning`.
bool PlanFileUpload(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
                    long long blobSize, long long streamCount, const UploadTuning& tuning,
                    bool encrypted, UploadPlan& plan, std::wstring& errorMessage);

// Stores `file` (open at its start, `target.identity` taken when opened) as
// the blob `target` names: 1 once stored, else 0 with the caller's message.
// Needs the file's token (`target.tokens`); without one the file fails with
// its own message.
int StoreFile(const BlobFile& target, std::unique_ptr<SequentialFile> file, const UploadPlan& plan,
              const UploadTuning& tuning, std::wstring& errorMessage);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_ENGINE_FILE_UPLOAD_H
