// What the server says of a chunk it was sent: in the chunk's reply, or in
// the answer to an offset query after a failed attempt. The offset it names
// decides the next step (HeldOffset.h); the last chunk's GUID is read by
// LastChunk.h.
#ifndef ZUCLOUD_FOLDER_CHUNK_CHUNK_REPLY_H
#define ZUCLOUD_FOLDER_CHUNK_CHUNK_REPLY_H

#include <string>

#include "folder/chunk/ChunkSend.h"
#include "session/RetryPolicy.h"

namespace zu::folder {

// Reads the reply to a chunk that was sent: kSuccess when it confirms the
// chunk (the last one: the file, with its GUID), kRetry to send it again
// (`queryAfterFailure` tells whether the next attempt asks the held offset
// first), kStop with `outcome` telling where the upload goes on.
AttemptResult ReadChunkReply(const ChunkSend& chunk, const std::string& response,
                             bool& queryAfterFailure, ChunkOutcome& outcome,
                             std::wstring& errorMessage);

// After a failed attempt: asks the server how many bytes it holds. kSuccess
// when it holds the chunk exactly (for the last chunk: the whole file, with
// its GUID), kRetry when it holds everything before the chunk (which is
// then sent again), kStop when the query failed or the upload goes back
// (`outcome` says where).
AttemptResult QueryHeldOffset(const ChunkSend& chunk, LIBCURL::ZuInternetGateway* gateway,
                              int attempt, ChunkOutcome& outcome, std::wstring& errorMessage);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_CHUNK_REPLY_H
