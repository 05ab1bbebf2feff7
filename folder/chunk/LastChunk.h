// The last chunk's GUID: only a server that holds the whole file and names
// its GUID makes the upload a success, through the last chunk's reply or,
// when that reply was lost, the offset query (asked once more when it named
// no GUID).
#ifndef ZUCLOUD_FOLDER_CHUNK_LAST_CHUNK_H
#define ZUCLOUD_FOLDER_CHUNK_LAST_CHUNK_H

#include <string>

#include "folder/chunk/ChunkSend.h"
#include "platform/xml/CNMessage.h"
#include "session/RetryPolicy.h"

namespace zu::folder {

// The reply to the last chunk, whose offset (if it named one) is the
// file's size: kSuccess, with the GUID in `outcome`, when it names the
// GUID; else kRetry, the next attempt asking the held offset first.
AttemptResult ReadFileGUID(const ChunkSend& chunk, const CNMessageBase& reply,
                           const std::string& response, bool& queryAfterFailure,
                           ChunkOutcome& outcome, std::wstring& errorMessage);

// An offset query that found the whole file held but named no GUID: true
// (after a warning line) to ask once more, false (after the line and the
// caller's message) when `askedAgain` already did.
bool AskAgainForGUID(const ChunkSend& chunk, long long held, bool askedAgain,
                     std::wstring& errorMessage);

// The server holds the whole file and named `guid`: the upload is done.
void ConfirmFile(const std::string& guid, ChunkOutcome& outcome);

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_CHUNK_LAST_CHUNK_H
