// The uploader of the block upload engine, UploadBlob: one pool task per
// filled slot. It waits for a turn token, takes the next filled slot, sends
// its block with Put Block under the retry policy (with the block's
// Content-MD5 when the upload carries digests), and on success records the
// block in the resume journal, counts and reports it and frees the slot; a
// block refused for good marks the whole upload failed, after which no
// further Put Block starts. See SlotBoard.h for the hand-over.

#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/engine/UploadBlobArgs.h"
#include "blob/resume/Resume.h"
#include "blob/storage/StorageRequest.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/log/EvDebug.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/RetryLines.h"
#include "session/UploadProgress.h"

namespace zu::blob {
namespace {

constexpr int kBadRequest = 400;
// The storage service's error code for a block id whose length differs from
// the ids of the blob's uncommitted blocks.
constexpr const char* kIdLengthRefusal = "InvalidBlobOrBlock";

// Holds the turn token taken by the caller and gives it back on scope exit,
// so that no path of an uploader can keep it.
class TurnToken {
 public:
  explicit TurnToken(SlotBoard& board) : m_board(board) {}
  ~TurnToken() { m_board.EndTurn(); }
  TurnToken(const TurnToken&) = delete;
  TurnToken& operator=(const TurnToken&) = delete;

 private:
  SlotBoard& m_board;
};

// An uploader's block failed for good (or was never sent because another
// block had failed): the slot goes back and the upload is marked failed.
void GiveUpBlock(UploadBlobArgs& args, int index, int attemptsMade, const std::string& lastError) {
  BlobInfo& slot = args.board.slot(index);
  args.description.log->Error(
      kUploaderTag,
      "Error: Failed to upload chunk for file [%s] to cloud. Failed chunk start "
      "offset: [%llu], end offset: [%llu]. Total retry attemp: [%d], API URL [%s]",
      args.description.fileName.c_str(), static_cast<unsigned long long>(slot.offsetStart),
      static_cast<unsigned long long>(slot.offsetStart + slot.blockSize), attemptsMade,
      slot.urlToUpload.c_str());
  args.description.log->Error(
      kUploaderTag, "Error: bAnyChunkUploadFailed is set by blob index [%d], block id [%u]", index,
      slot.blockNo);
  args.board.GiveUpSlot(index, "block " + std::to_string(slot.blockNo) + " was refused " +
                                   std::to_string(attemptsMade) +
                                   " time(s), last error: " + lastError);
}

// A refusal of a body whose bytes do not match its Content-MD5: the storage
// service answers 400 "Md5Mismatch"; Azurite "Provided contentMD5 doesn't
// match". Retried like any failed attempt; only the message says so.
bool IsMd5Refusal(const std::string& response) {
  return response.find("Md5Mismatch") != std::string::npos ||
         response.find("contentMD5 doesn't match") != std::string::npos;
}

// A block storage refused for good (StorageRequest.h) or whose fresh token
// names another storage URL: no further attempt. The first such block
// gives the caller's message.
zu::AttemptResult EndBlock(UploadBlobArgs& args, int index, const RefreshedSend& sent,
                           const std::string& url, const std::string& response,
                           std::string& lastError) {
  BlobInfo& slot = args.board.slot(index);
  if (sent.urlChanged) {
    args.board.NoteUrlChanged();
    lastError = "a fresh SAS token names another storage URL";
    return zu::AttemptResult::kStop;
  }
  const std::string message =
      FinalRefusalMessage(args.description.fileName, sent.judgement, sent.meaning);
  args.description.log->Error(kUploaderTag, "%s Block No. [%u], URL [%s]. Response: [%s]",
                              message.c_str(), slot.blockNo, url.c_str(), response.c_str());
  lastError = DescribeRefusal(sent.judgement);
  args.board.Fail(std::string(), std::string(), message);
  return zu::AttemptResult::kStop;
}

// What one Put Block attempt's answer means, with its lines. A 2xx other
// than 201 Created (an empty or foreign 200 from something between us and
// storage) proves nothing: retrying now is cheaper than a commit refused
// later.
zu::AttemptResult JudgePutBlock(UploadBlobArgs& args, int index, const QueueSnapshot& fullQueue,
                                int attempt, const RefreshedSend& sent, int rc,
                                const std::string& url, const std::string& response,
                                std::string& lastError) {
  BlobInfo& slot = args.board.slot(index);
  EvDebug* log = args.description.log;
  const int status = sent.judgement.status;
  if (sent.final || sent.urlChanged) return EndBlock(args, index, sent, url, response, lastError);
  if (rc == 0 && status != kStoredStatus) {
    log->Error(kUploaderTag,
               "Error: Block No. [%u] of file [%s] was answered with HTTP status [%d] instead "
               "of [%d]; the block is not confirmed. Upload attempt [%d]. Response: [%s]",
               slot.blockNo, args.description.fileName.c_str(), status, kStoredStatus, attempt,
               response.c_str());
    lastError = NotStoredText(status);
    return zu::AttemptResult::kRetry;
  }
  if (rc == 0) {
    log->DebugLvl(2, kUploaderTag,
                  "Success: Upload of chunk to cloud for file [%s], Index [%d], Full Queue "
                  "[front -> %d, back -> %d, size -> %d], Block No. [%u], Block Id URL Encoded "
                  "[%s], Block Size [%llu], URL to Upload [%s]. Response: [%s]",
                  args.description.fileName.c_str(), index, fullQueue.front, fullQueue.back,
                  fullQueue.size, slot.blockNo, slot.blockIdUrlEncoded.c_str(),
                  static_cast<unsigned long long>(slot.blockSize), url.c_str(), response.c_str());
    return zu::AttemptResult::kSuccess;
  }
  if (status == kBadRequest && sent.judgement.code == kIdLengthRefusal) {
    // Same answer for every id of this length until the other upload's
    // blocks are committed or dropped: UploadFile changes the ids instead.
    log->Error(kUploaderTag,
               "Error: Block No. [%u] of file [%s] was refused: the storage service holds "
               "uncommitted blocks of this blob whose ids have another length. Response: [%s]",
               slot.blockNo, args.description.fileName.c_str(), response.c_str());
    lastError = "the storage service holds blocks of another upload of this blob";
    args.board.NoteIdLengthRefused();
    return zu::AttemptResult::kStop;
  }
  log->Error(kUploaderTag,
             "Error: Failed to upload chunk to cloud for file [%s], Index [%d], Queue [front -> "
             "%d, back -> %d, size -> %d], Block No. [%u], Block Id URL Encoded [%s], Block "
             "Size [%llu], URL to Upload [%s]. Upload attempt [%d]. Curl Error Message [%s], "
             "Error response: [%s]",
             args.description.fileName.c_str(), index, fullQueue.front, fullQueue.back,
             fullQueue.size, slot.blockNo, slot.blockIdUrlEncoded.c_str(),
             static_cast<unsigned long long>(slot.blockSize), url.c_str(), attempt,
             slot.gateway->getErrorMsg().c_str(), response.c_str());
  lastError = slot.gateway->getErrorMsg();
  if (IsMd5Refusal(response)) {
    lastError += " (the bytes the service received did not match the block's Content-MD5)";
  }
  return zu::AttemptResult::kRetry;
}

// Sends the block of slot `index` with Put Block under the retry policy;
// a 403 asks for a fresh token and sends the block once more within the
// same attempt (SendWithRefresh). Returns the attempts made; `sent` tells
// the outcome.
int PutBlock(UploadBlobArgs& args, int index, const QueueSnapshot& fullQueue, bool& sent,
             std::string& lastError) {
  BlobInfo& slot = args.board.slot(index);
  std::string url;
  RefreshedSend put;
  zu::RetryOutcome outcome;
  zu::ConsoleOperation op;
  op.gateway = slot.gateway;
  op.headers = zu::ConsoleHeaders::kOwn;
  op.ownHeaders = [&slot](const std::string&) {
    ZuCURL::commandInfoList headers;
    AddContentMd5(headers, slot.contentMd5);
    return headers;
  };
  op.send = [&](LIBCURL::ZuInternetGateway& gateway, const ZuCURL::commandInfoList& headers,
                std::string& response, int) {
    int rc = 0;
    put = SendWithRefresh(
        args.description.tokens, args.description.sasToken, [&](const std::string& token) {
          if (args.description.sent != nullptr) args.description.sent->store(true);
          response.clear();
          url = slot.urlToUpload + "&" + token;
          rc = gateway.doPutOperation(url, slot.buffer, static_cast<long>(slot.storedSize),
                                      response, headers);
          return JudgeStorageReply(gateway, rc, response, kStoredStatus);
        });
    return rc;
  };
  op.wait = zu::FixedWaitRetry(args.description.retryCount, zu::kRetryWaitMs, false);
  // Once any block has failed for good no block is sent again, and a wait
  // between attempts ends at once.
  op.wait.stopRequested = [&args] { return args.board.stopRequested(); };
  op.retryPrefix = zu::FormatLogText(
      "Error: Failed to upload chunk to cloud for file [%s], chunk offset start: [%llu] end: "
      "[%llu]. ",
      args.description.fileName.c_str(), slot.offsetStart, slot.offsetStart + slot.blockSize);
  op.retryLineSet = zu::kRetryingAfterLine;
  op.read = [&](const zu::ConsoleReply& reply) {
    return JudgePutBlock(args, index, fullQueue, reply.attempt, put, reply.posted, url,
                         reply.response, lastError);
  };
  op.outcome = &outcome;
  std::wstring unused;
  sent = zu::RunConsoleStep(args.description.params, kUploaderTag, op, unused) == 1;
  return outcome.attempts;
}

// The slot's own gateway, opened on its first block. False, with the
// upload marked failed and the slot handed back, when it cannot be opened.
bool OpenSlotGateway(UploadBlobArgs& args, int index, const QueueSnapshot& fullQueue) {
  BlobInfo& slot = args.board.slot(index);
  if (slot.gateway == nullptr) {
    slot.gateway = zu::OpenGateway(args.description.params, args.description.blockUploadURL);
    if (slot.gateway != nullptr) slot.gateway->setSendPaced(args.description.parallel);
  }
  if (slot.gateway != nullptr) return true;
  args.description.log->Error(
      kUploaderTag,
      "Error: Failed to initialize ZuInternetGateway, failed to upload chunk to cloud "
      "for file [%s], Index [%d], Queue [front -> %d, back -> %d, size -> %d], Block "
      "No. [%u],Block Id URL Encoded [%s], Block Size [%llu], URL to Upload [%s].",
      args.description.fileName.c_str(), index, fullQueue.front, fullQueue.back, fullQueue.size,
      slot.blockNo, slot.blockIdUrlEncoded.c_str(), static_cast<unsigned long long>(slot.blockSize),
      slot.urlToUpload.c_str());
  const std::string& why = zu::LastConnectFailure();
  args.board.GiveUpSlot(index, why.empty() ? "no connection to the storage service" : why);
  return false;
}

// A block the service confirmed: recorded for a later resume, counted,
// reported, and its slot handed back.
void ConfirmBlock(UploadBlobArgs& args, int index) {
  BlobInfo& slot = args.board.slot(index);
  if (args.description.journal != nullptr) {
    std::string problem;
    if (!args.description.journal->Append(
            zu::blob::JournalBlockLine(slot.blockNo, args.description.blockCapacity,
                                       args.description.identity.size, args.description.blockTag),
            problem)) {
      args.description.log->Error(
          kUploaderTag,
          "Warning: Resume journal [%s] cannot be written (%s); block [%u] and the "
          "blocks after it of file [%s] are not recorded for a later resume.",
          args.description.journal->path().c_str(), problem.c_str(), slot.blockNo,
          args.description.fileName.c_str());
    }
  }
  // Still holding the token, so reports end before UploadFile returns.
  const UploadDescription& upload = args.description;
  args.board.Confirm(index, slot.blockSize, [&upload](unsigned long long confirmed) {
    zu::ReportUploadProgress(upload.fileName, confirmed, upload.identity.size);
  });
}

}  // namespace
}  // namespace zu::blob

unsigned int ZUCloudAzureService::UploadBlob(void* argument) {
  using namespace zu::blob;
  UploadBlobArgs& args = *static_cast<UploadBlobArgs*>(argument);

  // Throws zu::ThreadTerminated, without a token, when the producer ends the
  // pool; the pool catches it.
  args.board.WaitTurn();
  TurnToken token(args.board);

  bool alreadyFailed = false;
  int index = 0;
  QueueSnapshot fullQueue;
  if (!args.board.TakeFullSlot(args.description.log, args.description.fileName, index, fullQueue,
                               alreadyFailed))
    return 0;

  try {
    if (alreadyFailed) {
      GiveUpBlock(args, index, 0, "an earlier block failed");
      return 1;
    }
    if (!OpenSlotGateway(args, index, fullQueue)) return 1;
    bool sent = false;
    std::string lastError;
    const int attempts = PutBlock(args, index, fullQueue, sent, lastError);
    if (!sent) {
      GiveUpBlock(args, index, attempts, lastError);
      return 1;
    }
    ConfirmBlock(args, index);
    return 0;
  } catch (const std::bad_alloc&) {
    args.description.log->Error(kUploaderTag,
                                "Error: Not enough memory to upload a block of file [%s].",
                                args.description.fileName.c_str());
    args.board.GiveUpSlot(index, std::string());
    return 1;
  }
}
