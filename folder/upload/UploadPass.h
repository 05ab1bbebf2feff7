// One pass over the file: from byte 0 (the session request with the first
// chunk opens a new session) or from a chunk boundary the server of the
// session holds, then the chunks after it, the last one carrying
// "FileEOF".
#ifndef ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASS_H
#define ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASS_H

#include <string>

#include "folder/chunk/ChunkSend.h"
#include "folder/upload/ChunkReader.h"
#include "folder/upload/ConfirmedProgress.h"
#include "session/SessionParams.h"

namespace zu::folder {

// One file's upload as each pass over it sees it: where it goes, what
// names it, the buffer its chunks are read into and its progress.
struct FileTarget {
  const SessionParams& params;
  const std::string& uploadBase;  // UploadBase of the share
  const std::string& path;
  const std::string& fileName;
  const std::string& fileSize;
  const std::string& modifiedTime;
  const std::string& base64FileName;
  const std::string& base64ParentPath;
  const std::string& sessionToken;
  char* buffer;
  long long capacity;
  ConfirmedProgress& progress;
};

// Pass from `from`: 0 opens a new session, whose ID goes to `requestId`;
// above 0 it is a chunk boundary the server of session `requestId` holds.
// True once the server confirmed the whole file; false when it did not or
// the upload goes back (`outcome` says which). "FileEOF" is sent from the
// read that reaches the end in this pass on.
bool UploadPass(const FileTarget& target, ChunkReader& reader, long long from,
                std::string& requestId, ChunkOutcome& outcome, std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_UPLOAD_UPLOAD_PASS_H
