#include "folder/chunk/ChunkSend.h"

#include <optional>

#include "folder/chunk/ChunkReply.h"
#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"

namespace zu::folder {
namespace {

// The request of one attempt at a chunk. From the second attempt on, the
// held offset is asked first, unless the attempt before already did and
// then resent the whole chunk from its first byte, whatever the server
// held; an answer of that question that decides the attempt goes to
// `decided`, and nothing is sent.
int SendChunkAttempt(const ChunkSend& chunk, LIBCURL::ZuInternetGateway& gateway, int attempt,
                     bool& queryAfterFailure, std::optional<AttemptResult>& decided,
                     ChunkOutcome& outcome, std::string& response, std::wstring& errorMessage) {
  decided.reset();
  if (attempt > 1 && queryAfterFailure) {
    const AttemptResult held = QueryHeldOffset(chunk, &gateway, attempt, outcome, errorMessage);
    if (held != AttemptResult::kRetry) {
      decided = held;
      return 0;
    }
    queryAfterFailure = false;
  }
  return gateway.doPostOperation(chunk.url, chunk.data, static_cast<long>(chunk.length), response,
                                 chunk.headers);
}

// What one attempt at a chunk came to.
AttemptResult ReadChunkAttempt(const ChunkSend& chunk, const ConsoleReply& reply,
                               const std::optional<AttemptResult>& decided, bool& queryAfterFailure,
                               ChunkOutcome& outcome) {
  if (decided) return *decided;
  if (reply.posted != 0) {
    chunk.log->Error(kUploadTag,
                     "Error: Failed to upload chunk to cloud for file [%s]. Upload attempt [%d]. "
                     "Curl Error Message [%s], Error response: [%s]",
                     chunk.fileName.c_str(), reply.attempt, reply.gateway.getErrorMsg().c_str(),
                     reply.response.c_str());
    reply.errorMessage = L"Error: Failed to upload chunk to cloud.";
    queryAfterFailure = true;
    return AttemptResult::kRetry;
  }
  return ReadChunkReply(chunk, reply.response, queryAfterFailure, outcome, reply.errorMessage);
}

// The retry lines of a chunk: the retrying line, and the total line unless
// the upload goes back (its restart line tells).
RetryLines ChunkRetryLines(const ChunkSend& chunk, const ChunkOutcome& outcome) {
  const unsigned long long startOffset =
      static_cast<unsigned long long>(chunk.endOffset - chunk.length);
  const unsigned long long stopOffset = static_cast<unsigned long long>(chunk.endOffset);
  RetryLines lines = StandardRetryLines(
      chunk.log, kUploadTag,
      FormatLogText("Error: Failed to upload chunk to cloud for file [%s], chunk offset "
                    "start: [%llu] end: [%llu]. ",
                    chunk.fileName.c_str(), startOffset, stopOffset),
      kRetryingAfterLine);
  lines.totalRetryCount = [&chunk, &outcome, startOffset, stopOffset](int total) {
    if (outcome.goesBack) return;
    chunk.log->Error(kUploadTag,
                     "Error: Failed to upload [%s] file to cloud. Failed chunk start offset: "
                     "[%llu], end offset: [%llu]. Total retry attempts: [%d], API URL [%s], User "
                     "Name [%s]",
                     chunk.fileName.c_str(), startOffset, stopOffset, total, chunk.url.c_str(),
                     chunk.params.userName.c_str());
  };
  return lines;
}

}  // namespace

bool SendChunk(const ChunkSend& chunk, ChunkOutcome& outcome, std::wstring& errorMessage) {
  EvDebug* log = chunk.log;
  GatewayHolder gateway(log, OpenGateway(chunk.params, chunk.url));
  if (!gateway) {
    log->Error(kUploadTag, "Error: Failed to initialize ZuInternetGateway.");
    errorMessage = NoGatewayMessage(L"Error: Failed to initialize ZuInternetGateway.");
    return false;
  }
  gateway->setSendPaced(1);

  ConsoleOperation op;
  op.gateway = gateway.get();
  op.headers = ConsoleHeaders::kOwn;
  op.ownHeaders = [&chunk](const std::string&) { return chunk.headers; };
  // An attempt stopped by a failed offset query was not completed.
  op.wait = FixedWaitRetry(chunk.params.retryCount, kRetryWaitMs, false,
                           TotalCount::kAttemptsBeforeEarlyStop);
  op.lines = ChunkRetryLines(chunk, outcome);
  bool queryAfterFailure = true;
  std::optional<AttemptResult> decided;  // by the offset query, nothing sent
  op.send = [&](LIBCURL::ZuInternetGateway& to, const ZuCURL::commandInfoList&,
                std::string& response, int attempt) {
    return SendChunkAttempt(chunk, to, attempt, queryAfterFailure, decided, outcome, response,
                            errorMessage);
  };
  op.read = [&](const ConsoleReply& reply) {
    return ReadChunkAttempt(chunk, reply, decided, queryAfterFailure, outcome);
  };
  return RunConsoleStep(chunk.params, kUploadTag, op, errorMessage) == 1;
}

}  // namespace zu::folder
