// The upload-session request: it carries the file's first chunk, opens a
// new session on the server ("forceRestart=true") and is answered with the
// session's request ID, which addresses every later chunk.
#ifndef ZUCLOUD_FOLDER_CHUNK_UPLOAD_SESSION_H
#define ZUCLOUD_FOLDER_CHUNK_UPLOAD_SESSION_H

#include <string>

#include "session/SessionParams.h"

namespace zu::folder {

// What the session request names and carries.
struct SessionRequest {
  const std::string& uploadBase;  // UploadBase of the share
  const std::string& base64ParentPath;
  const std::string& base64FileName;
  const std::string& fileSize;
  const std::string& modifiedTime;
  const char* chunk;  // the file's first chunk; null sends no body
  long long chunkLength;
};

// Logs in, sends the request with its attempts and reads the request ID
// into `requestId`. 1 on success, else 0 with the caller's message set.
int RequestUploadSession(const SessionParams& params, const SessionRequest& request,
                         std::string& requestId, std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_UPLOAD_SESSION_H
