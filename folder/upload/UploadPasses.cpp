#include "folder/upload/UploadPasses.h"

#include <algorithm>
#include <utility>

#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "session/RetryPolicy.h"

namespace zu::folder {
namespace {

// Says where the pass after `outcome` starts: byte 0 or the chunk
// boundary it reads the file again from.
void LogRestart(EvDebug* log, const FileTarget& target, const ChunkOutcome& outcome, int restart,
                int restarts) {
  if (outcome.from == 0) {
    log->Error(kUploadTag,
               "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent; its "
               "upload starts again from byte 0 (restart [%d] of [%d]).",
               outcome.held, target.fileName.c_str(), outcome.sentEnd, restart, restarts);
  } else {
    log->Error(kUploadTag,
               "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent; its "
               "upload goes on from byte [%lld], read again (restart [%d] of [%d]).",
               outcome.held, target.fileName.c_str(), outcome.sentEnd, outcome.from, restart,
               restarts);
  }
}

// Pass `pass` (from 1) over the file; each after the first opens the file
// again and starts where the pass before it went back to: byte 0 with a new
// session, or a chunk boundary the server holds. kRetryNow when the upload
// goes back again.
AttemptResult RunPass(const FileTarget& target, const FileIdentity& identity, int pass,
                      int restarts, std::unique_ptr<ChunkReader>& reader, std::string& requestId,
                      ChunkOutcome& outcome, std::wstring& errorMessage) {
  EvDebug* log = target.params.log;
  long long from = 0;
  if (pass > 1) {
    from = outcome.from;
    LogRestart(log, target, outcome, pass - 1, restarts);
    outcome = ChunkOutcome();
    reader = ReopenForRestart(log, target.path, target.fileName, identity, reader->DropsPages(),
                              errorMessage);
    if (!reader) return AttemptResult::kStop;
  }
  if (UploadPass(target, *reader, from, requestId, outcome, errorMessage)) {
    return AttemptResult::kSuccess;
  }
  return outcome.goesBack ? AttemptResult::kRetryNow : AttemptResult::kStop;
}

// The upload went back after its last restart too: the line and the
// caller's message.
void GaveUp(const FileTarget& target, const ChunkOutcome& outcome, int restarts,
            std::wstring& errorMessage) {
  target.params.log->Error(
      kUploadTag,
      "Error: The server holds [%lld] bytes of file [%s] where [%lld] were sent, after [%d] "
      "restarts of its upload; the file was not uploaded.",
      outcome.held, target.fileName.c_str(), outcome.sentEnd, restarts);
  errorMessage =
      outcome.held > outcome.sentEnd
          ? L"Error: The cloud holds more bytes of the file than were sent, also after its "
            L"upload was started again; the file was not uploaded."
          : L"Error: The cloud holds fewer bytes of the file than were sent, also after its "
            L"upload was started again; the file was not uploaded.";
}

}  // namespace

int UploadInPasses(const FileTarget& target, const FileIdentity& identity,
                   std::unique_ptr<ChunkReader> reader, std::string& fileGUID,
                   std::wstring& errorMessage) {
  const int restarts = std::max(target.params.retryCount, 0);
  RetryOptions options;
  options.limit = restarts + 1;
  options.wait = WaitKind::kNone;
  ChunkOutcome outcome;
  std::string requestId;
  const RetryOutcome passes = RunWithRetry(options, RetryLines{}, [&](int pass) {
    return RunPass(target, identity, pass, restarts, reader, requestId, outcome, errorMessage);
  });
  if (passes.succeeded) {
    fileGUID = outcome.fileGUID;
    return 1;
  }
  if (outcome.goesBack) GaveUp(target, outcome, restarts, errorMessage);
  return 0;
}

}  // namespace zu::folder
