#include "folder/chunk/ChunkReply.h"

#include <optional>

#include "folder/chunk/HeldOffset.h"
#include "folder/chunk/LastChunk.h"
#include "folder/chunk/OffsetQuery.h"
#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "platform/xml/CNMessage.h"

namespace zu::folder {
namespace {

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

HeldDecision Judge(const ChunkSend& chunk, std::optional<long long> held) {
  return JudgeHeldOffset(held, chunk.endOffset - chunk.length, chunk.endOffset, chunk.chunkSize);
}

// Follows the step `next` the server's offset `held` gave the chunk:
// kSuccess when it confirms it, kRetry when the chunk goes again (asking
// the held offset first when the reply named none; sending it without
// asking when the server holds everything before it), kStop with `outcome`
// telling where the upload goes on otherwise.
AttemptResult FollowHeldOffset(const ChunkSend& chunk, const HeldDecision& next, long long held,
                               bool& queryAfterFailure, ChunkOutcome& outcome) {
  switch (next.step) {
    case HeldStep::kConfirmed:
      return AttemptResult::kSuccess;
    case HeldStep::kAsk:
      queryAfterFailure = true;
      return AttemptResult::kRetry;
    case HeldStep::kResendChunk:
      chunk.log->Error(kUploadTag,
                       "Error: Last chunk wasn't uploaded. Chunk Offset received from webserver: "
                       "[%lld].",
                       held);
      queryAfterFailure = false;
      return AttemptResult::kRetry;
    case HeldStep::kReadFrom:
    case HeldStep::kRestart:
      break;
  }
  outcome.goesBack = true;
  outcome.from = next.from;
  outcome.held = held;
  outcome.sentEnd = chunk.endOffset;
  return AttemptResult::kStop;
}

}  // namespace

AttemptResult ReadChunkReply(const ChunkSend& chunk, const std::string& response,
                             bool& queryAfterFailure, ChunkOutcome& outcome,
                             std::wstring& errorMessage) {
  using namespace msg;
  EvDebug* log = chunk.log;
  if (response.empty() || !(Contains(response, "fileGUID") || Contains(response, "chunkOffset"))) {
    log->Error(kUploadTag, "Error: Webserver responded with response string: [%s].",
               response.c_str());
    queryAfterFailure = true;
    return AttemptResult::kRetry;
  }
  CNMessageBase reply(kUploadFileResp.type, kUploadFileResp.id);
  if (reply.unserialize(response.c_str()) != 0) {
    log->Error(kUploadTag, "Error: Unserialization failed for string [%s].", response.c_str());
    errorMessage = L"Error: Unserialization failed for response string";
    queryAfterFailure = true;
    return AttemptResult::kRetry;
  }
  std::optional<long long> named;  // the offset, when the reply names one
  if (Contains(response, "chunkOffset")) {
    named = reply.getint64(kUploadChunkOffset.number, kUploadFileResp.key, kUploadChunkOffset.key);
  }
  const HeldDecision next = Judge(chunk, named);
  // The last chunk's reply confirms the file by its GUID; an offset it
  // names, other than the file's size, decides as the server's offset does.
  if (chunk.last && (next.step == HeldStep::kConfirmed || next.step == HeldStep::kAsk)) {
    return ReadFileGUID(chunk, reply, response, queryAfterFailure, outcome, errorMessage);
  }
  // Only the offset of the chunk's end confirms it (a chunk before the last
  // one is never empty, so that offset is above 0).
  if (next.step == HeldStep::kConfirmed) return AttemptResult::kSuccess;
  log->Error(kUploadTag, "Error: Chunk Offset received from webserver: [%lld], output XML: [%s].",
             named.value_or(0), response.c_str());
  return FollowHeldOffset(chunk, next, named.value_or(0), queryAfterFailure, outcome);
}

AttemptResult QueryHeldOffset(const ChunkSend& chunk, LIBCURL::ZuInternetGateway* gateway,
                              int attempt, ChunkOutcome& outcome, std::wstring& errorMessage) {
  // A last chunk whose query named no GUID asks once more.
  for (bool askedAgain = false;; askedAgain = true) {
    long long held = 0;
    std::string guid;
    if (!QueryOffset(chunk.params, OffsetQuery{gateway, chunk.url, chunk.headers, chunk.fileName},
                     true, held, &guid)) {
      return AttemptResult::kStop;
    }
    const HeldDecision next = Judge(chunk, held);
    if (next.step != HeldStep::kConfirmed) {
      bool unused = false;  // the caller sends the chunk again without asking
      return FollowHeldOffset(chunk, next, held, unused, outcome);
    }
    if (chunk.last && guid.empty()) {
      if (!AskAgainForGUID(chunk, held, askedAgain, errorMessage)) return AttemptResult::kStop;
      continue;
    }
    chunk.log->DebugLvl(5, kUploadTag,
                        "Success: upload of chunk to cloud for file [%s] was successfull. chunk "
                        "offset [%llu], Upload attempt [%d].",
                        chunk.fileName.c_str(), static_cast<unsigned long long>(held), attempt);
    if (chunk.last) ConfirmFile(guid, outcome);
    return AttemptResult::kSuccess;
  }
}

}  // namespace zu::folder
