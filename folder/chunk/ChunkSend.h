// A chunk request after the session request, with its attempts: one
// gateway of its own for all of them and their offset queries; from the
// second attempt on the server is asked first how many bytes it holds.
#ifndef ZUCLOUD_FOLDER_CHUNK_CHUNK_SEND_H
#define ZUCLOUD_FOLDER_CHUNK_CHUNK_SEND_H

#include <string>

#include "platform/http/ZuInternetGateway.h"
#include "session/SessionParams.h"

class EvDebug;

namespace zu::folder {

// One chunk request: where it goes, what it carries and what its attempts
// need from the upload.
struct ChunkSend {
  const SessionParams& params;  // retries, user name, the gateway, the offset queries
  EvDebug* log;
  const std::string& url;  // the chunk URL with the request ID
  ZuCURL::commandInfoList& headers;
  const std::string& fileName;
  const char* data;
  long long length;
  long long endOffset;  // file offset after this chunk
  bool last;            // carries "FileEOF": its reply names the file's GUID
  long long chunkSize;  // of every chunk but the last: the upload's boundaries
};

// What the replies to the chunks tell the upload.
struct ChunkOutcome {
  std::string fileGUID;
  bool uploaded = false;  // the server confirmed the whole file and named its GUID
  // The server named an offset neither the chunk's start nor its end: the
  // upload goes on from `from`, an earlier chunk boundary it holds, or
  // starts again from byte 0 with a new session.
  bool goesBack = false;
  long long from = 0;
  long long held = 0;     // the offset it named then
  long long sentEnd = 0;  // and the end of the chunk
};

// Sends one chunk; false when every attempt failed, or when the upload
// goes back to an earlier offset (`outcome` says so).
bool SendChunk(const ChunkSend& chunk, ChunkOutcome& outcome, std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_CHUNK_SEND_H
