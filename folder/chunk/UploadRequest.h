// What every request of a chunked upload shares: its log tags, the URL all
// of them go under and the headers they carry.
//
// Protocol (every request a POST under the upload base URL of the set-up):
//  1. the upload-session request carries the first chunk and opens a session
//     ("forceRestart=true"), answered with a request ID (UploadSession.h);
//  2. one chunk request per further chunk, addressed by the request ID; the
//     one that follows the read reaching the end of the file carries
//     "FileEOF" (so does every later request) and is answered with the
//     file's GUID (ChunkSend.h, LastChunk.h);
//  3. after a failed chunk attempt, a chunk request without a body asks how
//     many bytes the server holds (OffsetQuery.h), which decides whether the
//     chunk is sent again (HeldOffset.h).
#ifndef ZUCLOUD_FOLDER_CHUNK_UPLOAD_REQUEST_H
#define ZUCLOUD_FOLDER_CHUNK_UPLOAD_REQUEST_H

#include <string>

#include "platform/http/ZuInternetGateway.h"

namespace zu::folder {

inline constexpr const char* kUploadTag = "UploadFile";
inline constexpr const char* kSessionTag = "GetChunkUploadSessionID";
inline constexpr const char* kOffsetTag = "GetChunkOffsetforUpload";

// The URL every request of an upload goes under, from the share's path.
std::string UploadBase(const std::string& sharePath);

// Headers 1 to 7, the same for the session request, the chunk requests and
// the offset queries ("FileEOF" is appended by the upload loop).
ZuCURL::commandInfoList UploadHeaders(const std::string& sessionToken,
                                      const std::string& base64FileName,
                                      const std::string& fileSize, const std::string& modifiedTime,
                                      const std::string& base64ParentPath);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_UPLOAD_REQUEST_H
