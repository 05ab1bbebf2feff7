#include "folder/chunk/LastChunk.h"

#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"

namespace zu::folder {

AttemptResult ReadFileGUID(const ChunkSend& chunk, const CNMessageBase& reply,
                           const std::string& response, bool& queryAfterFailure,
                           ChunkOutcome& outcome, std::wstring& errorMessage) {
  using namespace msg;
  const std::string guid = response.find("fileGUID") != std::string::npos
                               ? reply.getstring(kUploadFileGUID.number, kUploadFileGUID.tag,
                                                 kUploadFileResp.key, kUploadFileGUID.key)
                               : std::string();
  if (guid.empty()) {
    chunk.log->Error(kUploadTag, "Error: Unserialization failed for string [%s]", response.c_str());
    errorMessage = L"Error: Failed to login to cloud. Please check the internet connection";
    queryAfterFailure = true;
    return AttemptResult::kRetry;
  }
  ConfirmFile(guid, outcome);
  return AttemptResult::kSuccess;
}

bool AskAgainForGUID(const ChunkSend& chunk, long long held, bool askedAgain,
                     std::wstring& errorMessage) {
  if (askedAgain) {
    chunk.log->Error(kUploadTag,
                     "Error: The server holds all [%lld] bytes of file [%s] but named no "
                     "fileGUID, also when asked again.",
                     held, chunk.fileName.c_str());
    errorMessage =
        L"Error: The cloud holds the whole file but named no file GUID for it; the upload is "
        L"not confirmed.";
    return false;
  }
  chunk.log->Error(kUploadTag,
                   "Warning: The server holds all [%lld] bytes of file [%s] but named no "
                   "fileGUID; asking for it once more.",
                   held, chunk.fileName.c_str());
  return true;
}

void ConfirmFile(const std::string& guid, ChunkOutcome& outcome) {
  outcome.fileGUID = guid;
  outcome.uploaded = true;
}

}  // namespace zu::folder
