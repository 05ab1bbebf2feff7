#include "folder/upload/UploadPass.h"

#include "folder/chunk/UploadRequest.h"
#include "folder/chunk/UploadSession.h"
#include "platform/host/FXFile.h"

namespace zu::folder {
namespace {

// Reads the first chunk and opens the upload session with it: the request
// ID and the file offset after the chunk, or false (after the lines and the
// message).
bool StartUploadSession(const FileTarget& target, ChunkReader& reader, long long& endOffset,
                        std::string& requestId, std::wstring& errorMessage) {
  long long chunkLength = 0;
  std::string problem;
  if (!reader.Read(target.buffer, target.capacity, chunkLength, problem)) {
    ReadFailed(target.params.log, reader, target.path, target.fileName, problem, errorMessage);
    return false;
  }
  endOffset = chunkLength;
  const SessionRequest request{target.uploadBase, target.base64ParentPath, target.base64FileName,
                               target.fileSize,   target.modifiedTime,     target.buffer,
                               chunkLength};
  if (RequestUploadSession(target.params, request, requestId, errorMessage) != 1) return false;
  target.progress.Confirmed(endOffset);
  return true;
}

// Reads and sends the chunks after `chunk` (the one that ended at its
// endOffset) up to the one that follows the read reaching the end of the
// file. False (after the lines and the message) when a read or a chunk
// failed.
bool SendRemainingChunks(ChunkSend chunk, const FileTarget& target, ChunkReader& reader,
                         ChunkOutcome& outcome, std::wstring& errorMessage) {
  std::string problem;
  while (!chunk.last) {
    if (!reader.Read(target.buffer, target.capacity, chunk.length, problem)) {
      ReadFailed(chunk.log, reader, target.path, chunk.fileName, problem, errorMessage);
      return false;
    }
    chunk.endOffset += chunk.length;
    // Appended once, right after the read that found the end of the file;
    // from then on every request of this pass carries it.
    chunk.last = reader.AtEnd();
    if (chunk.last) chunk.headers.emplace_back("FileEOF", "1");
    if (!SendChunk(chunk, outcome, errorMessage)) return false;
    target.progress.Confirmed(chunk.endOffset);
  }
  return true;
}

}  // namespace

bool UploadPass(const FileTarget& target, ChunkReader& reader, long long from,
                std::string& requestId, ChunkOutcome& outcome, std::wstring& errorMessage) {
  long long endOffset = from;
  if (from == 0) {
    if (!StartUploadSession(target, reader, endOffset, requestId, errorMessage)) return false;
  } else {
    const CPzError skipped = reader.SkipTo(from);
    if (skipped.IsError()) {
      ReadFailed(target.params.log, reader, target.path, target.fileName, skipped.Message(),
                 errorMessage);
      return false;
    }
  }
  const std::string chunkUrl = target.uploadBase + "&requestId=" + requestId;
  ZuCURL::commandInfoList headers =
      UploadHeaders(target.sessionToken, target.base64FileName, target.fileSize,
                    target.modifiedTime, target.base64ParentPath);
  const ChunkSend next{target.params,   target.params.log, chunkUrl, headers,
                       target.fileName, target.buffer,     0,        endOffset,
                       false,           target.capacity};
  return SendRemainingChunks(next, target, reader, outcome, errorMessage) && outcome.uploaded;
}

}  // namespace zu::folder
