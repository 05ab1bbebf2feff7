// The passes over one file: the first from byte 0, then one more each time
// the server named an offset that sends the upload back (an earlier chunk
// boundary it holds, or byte 0 with a new session), up to the retry count
// of them. The one loop over RunWithRetry that sends no request itself.
#ifndef ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASSES_H
#define ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASSES_H

#include <memory>
#include <string>

#include "folder/upload/ChunkReader.h"
#include "folder/upload/UploadPass.h"

namespace zu::folder {

// Uploads the file `reader` reads, opening it again (and checking it is
// still the file of `identity`) for each pass after the first. 1 once the
// server confirmed the whole file, its GUID in `fileGUID`; else 0, with the
// lines and the caller's message of what failed.
int UploadInPasses(const FileTarget& target, const FileIdentity& identity,
                   std::unique_ptr<ChunkReader> reader, std::string& fileGUID,
                   std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASSES_H
