// The uploader of the block upload engine, UploadBlob: one pool task per
// filled slot. It waits for a turn token, takes the next filled slot, sends
// its block with Put Block under the retry policy (with the block's
// Content-MD5 when the upload carries digests), and on success records the
// block in the resume journal, counts and reports it and frees the slot; a
// block refused for good marks the whole upload failed, after which no
// further Put Block starts. See SlotHandOver.h for the hand-over.

#include <mutex>
#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/resume/Resume.h"
#include "blob/engine/SlotHandOver.h"
#include "blob/storage/StorageReply.h"
#include "blob/storage/StoreHeaders.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/log/EvDebug.h"
#include "session/RetryLines.h"
#include "session/UploadProgress.h"

// The engine's own steps, beside the hand-over they use.
namespace zu::blob {
namespace {

constexpr int kBlockCreated = 201;
constexpr int kBadRequest = 400;
// The storage service's error code for a block id whose length differs from
// the ids of the blob's uncommitted blocks.
constexpr const char* kIdLengthRefusal = "InvalidBlobOrBlock";
constexpr unsigned int kPutBlockRetryWaitMs = 120000;

// An uploader's block failed for good (or was never sent because another
// block had failed): the slot goes back and the upload is marked failed.
void GiveUpBlock(UploadBlobArgs& args, int index, int attemptsMade, const std::string& lastError) {
  BlobInfo& slot = args.blobInfo[index];
  args.log->Error(kUploaderTag,
                  "Error: Failed to upload chunk for file [%s] to cloud. Failed chunk start "
                  "offset: [%llu], end offset: [%llu]. Total retry attemp: [%d], API URL [%s]",
                  args.fileName.c_str(), static_cast<unsigned long long>(slot.offsetStart),
                  static_cast<unsigned long long>(slot.offsetStart + slot.blockSize), attemptsMade,
                  slot.urlToUpload.c_str());
  ZuCriticalSectionLock lock(&args.queueLock);
  slot.status = 0;
  args.log->Error(kUploaderTag,
                  "Error: bAnyChunkUploadFailed is set by blob index [%d], block id [%u]", index,
                  slot.blockNo);
  SetFailedLocked(args);
  if (args.failureDetail.empty()) {
    args.failureDetail = "block " + std::to_string(slot.blockNo) + " was refused " +
                         std::to_string(attemptsMade) + " time(s), last error: " + lastError;
  }
  args.emptyBlobQueue.push_back(index);
}

// A refusal of a body whose bytes do not match its Content-MD5: the storage
// service answers 400 "Md5Mismatch"; Azurite "Provided contentMD5 doesn't
// match". Retried like any failed attempt; only the message says so.
bool IsMd5Refusal(const std::string& response) {
  return response.find("Md5Mismatch") != std::string::npos ||
         response.find("contentMD5 doesn't match") != std::string::npos;
}

// A block storage refused for good (StorageReply.h) or whose fresh token
// names another storage URL: no further attempt. The first such block
// gives the caller's message.
zu::AttemptResult EndBlock(UploadBlobArgs& args, int index, const RefreshedSend& sent,
                           const std::string& url, const std::string& response,
                           std::string& lastError) {
  BlobInfo& slot = args.blobInfo[index];
  if (sent.urlChanged) {
    args.urlChanged.store(true);
    lastError = "a fresh SAS token names another storage URL";
    return zu::AttemptResult::kStop;
  }
  const std::string message = FinalRefusalMessage(args.fileName, sent.judgement, sent.meaning);
  args.log->Error(kUploaderTag, "%s Block No. [%u], URL [%s]. Response: [%s]", message.c_str(),
                  slot.blockNo, url.c_str(), response.c_str());
  lastError = DescribeRefusal(sent.judgement);
  ZuCriticalSectionLock lock(&args.queueLock);
  if (args.finalMessage.empty()) args.finalMessage = message;
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
  BlobInfo& slot = args.blobInfo[index];
  EvDebug* log = args.log;
  const int status = sent.judgement.status;
  if (sent.final || sent.urlChanged) return EndBlock(args, index, sent, url, response, lastError);
  if (rc == 0 && status != kBlockCreated) {
    log->Error(kUploaderTag,
               "Error: Block No. [%u] of file [%s] was answered with HTTP status [%d] instead "
               "of [%d]; the block is not confirmed. Upload attempt [%d]. Response: [%s]",
               slot.blockNo, args.fileName.c_str(), status, kBlockCreated, attempt,
               response.c_str());
    lastError = "HTTP status " + std::to_string(status) + " instead of 201 Created";
    return zu::AttemptResult::kRetry;
  }
  if (rc == 0) {
    log->DebugLvl(2, kUploaderTag,
                  "Success: Upload of chunk to cloud for file [%s], Index [%d], Full Queue "
                  "[front -> %d, back -> %d, size -> %d], Block No. [%u], Block Id URL Encoded "
                  "[%s], Block Size [%llu], URL to Upload [%s]. Response: [%s]",
                  args.fileName.c_str(), index, fullQueue.front, fullQueue.back, fullQueue.size,
                  slot.blockNo, slot.blockIdUrlEncoded.c_str(),
                  static_cast<unsigned long long>(slot.blockSize), url.c_str(), response.c_str());
    return zu::AttemptResult::kSuccess;
  }
  if (status == kBadRequest && sent.judgement.code == kIdLengthRefusal) {
    // Same answer for every id of this length until the other upload's
    // blocks are committed or dropped: UploadFile changes the ids instead.
    log->Error(kUploaderTag,
               "Error: Block No. [%u] of file [%s] was refused: the storage service holds "
               "uncommitted blocks of this blob whose ids have another length. Response: [%s]",
               slot.blockNo, args.fileName.c_str(), response.c_str());
    lastError = "the storage service holds blocks of another upload of this blob";
    args.idLengthRefused.store(true);
    return zu::AttemptResult::kStop;
  }
  log->Error(kUploaderTag,
             "Error: Failed to upload chunk to cloud for file [%s], Index [%d], Queue [front -> "
             "%d, back -> %d, size -> %d], Block No. [%u], Block Id URL Encoded [%s], Block "
             "Size [%llu], URL to Upload [%s]. Upload attempt [%d]. Curl Error Message [%s], "
             "Error response: [%s]",
             args.fileName.c_str(), index, fullQueue.front, fullQueue.back, fullQueue.size,
             slot.blockNo, slot.blockIdUrlEncoded.c_str(),
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
  BlobInfo& slot = args.blobInfo[index];
  zu::RetryOptions options = zu::FixedWaitRetry(args.retryCount, kPutBlockRetryWaitMs, false);
  // Once any block has failed for good no block is sent again, and a wait
  // between attempts ends at once.
  options.stopRequested = [&args] { return args.stopSending.load(); };
  const zu::RetryLines lines = zu::StandardRetryLines(
      args.log, kUploaderTag,
      zu::FormatLogText("Error: Failed to upload chunk to cloud for file [%s], chunk offset start: "
                        "[%llu] end: [%llu]. ",
                        args.fileName.c_str(), slot.offsetStart, slot.offsetStart + slot.blockSize),
      zu::kRetryingAfterLine);
  ZuCURL::commandInfoList headers;
  zu::blob::AddContentMd5(headers, slot.contentMd5);
  const zu::RetryOutcome outcome = zu::RunWithRetry(options, lines, [&](int attempt) {
    std::string response;
    std::string url;
    int rc = 0;
    const RefreshedSend put =
        SendWithRefresh(args.tokens, args.sasToken, [&](const std::string& token) {
          if (args.sent != nullptr) args.sent->store(true);
          response.clear();
          url = slot.urlToUpload + "&" + token;
          rc = slot.gateway->doPutOperation(url, slot.buffer, static_cast<long>(slot.blockSize),
                                            response, headers);
          return JudgeStorageReply(*slot.gateway, rc, response, kBlockCreated);
        });
    return JudgePutBlock(args, index, fullQueue, attempt, put, rc, url, response, lastError);
  });
  sent = outcome.succeeded;
  return outcome.attempts;
}

// The slot's own gateway, opened on its first block. False, with the
// upload marked failed and the slot handed back, when it cannot be opened.
bool OpenSlotGateway(UploadBlobArgs& args, int index, const QueueSnapshot& fullQueue) {
  BlobInfo& slot = args.blobInfo[index];
  if (slot.gateway == nullptr) {
    slot.gateway = args.service->initZuInternetGateway(args.blockUploadURL);
    if (slot.gateway != nullptr) slot.gateway->setSendPaced(args.parallel);
  }
  if (slot.gateway != nullptr) return true;
  args.log->Error(kUploaderTag,
                  "Error: Failed to initialize ZuInternetGateway, failed to upload chunk to cloud "
                  "for file [%s], Index [%d], Queue [front -> %d, back -> %d, size -> %d], Block "
                  "No. [%u],Block Id URL Encoded [%s], Block Size [%llu], URL to Upload [%s].",
                  args.fileName.c_str(), index, fullQueue.front, fullQueue.back, fullQueue.size,
                  slot.blockNo, slot.blockIdUrlEncoded.c_str(),
                  static_cast<unsigned long long>(slot.blockSize), slot.urlToUpload.c_str());
  ZuCriticalSectionLock lock(&args.queueLock);
  SetFailedLocked(args);
  if (args.failureDetail.empty()) args.failureDetail = "no connection to the storage service";
  slot.status = 0;
  args.emptyBlobQueue.push_back(index);
  return false;
}

// A block the service confirmed: recorded for a later resume, counted,
// reported, and its slot handed back.
void ConfirmBlock(UploadBlobArgs& args, int index) {
  BlobInfo& slot = args.blobInfo[index];
  if (args.journal != nullptr) {
    std::string problem;
    if (!args.journal->Append(zu::blob::JournalBlockLine(slot.blockNo, args.blockCapacity,
                                                         args.identity.size, args.blockTag),
                              problem)) {
      args.log->Error(kUploaderTag,
                      "Warning: Resume journal [%s] cannot be written (%s); block [%u] and the "
                      "blocks after it of file [%s] are not recorded for a later resume.",
                      args.journal->path().c_str(), problem.c_str(), slot.blockNo,
                      args.fileName.c_str());
    }
  }
  // Still holding the token, so reports end before UploadFile returns;
  // the progress lock keeps them in order when blocks go in parallel.
  std::lock_guard<std::mutex> progress(args.progressLock);
  unsigned long long confirmed;
  {
    ZuCriticalSectionLock lock(&args.queueLock);
    slot.status = 1;
    args.bUploadComplete = true;
    args.bytesConfirmed += slot.blockSize;
    confirmed = args.bytesConfirmed;
    args.emptyBlobQueue.push_back(index);
  }
  zu::ReportUploadProgress(args.fileName, confirmed, args.identity.size);
}

}  // namespace
}  // namespace zu::blob

unsigned int ZUCloudAzureService::UploadBlob(void* argument) {
  using namespace zu::blob;
  UploadBlobArgs& args = *static_cast<UploadBlobArgs*>(argument);

  // Throws zu::ThreadTerminated, without a token, when the producer ends the
  // pool; the pool catches it.
  args.semaphore->wait();
  TurnToken token(args.semaphore);

  bool alreadyFailed = false;
  int index = 0;
  QueueSnapshot fullQueue;
  if (!TakeFullSlot(args, index, fullQueue, alreadyFailed)) return 0;

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
    args.log->Error(kUploaderTag, "Error: Not enough memory to upload a block of file [%s].",
                    args.fileName.c_str());
    ZuCriticalSectionLock lock(&args.queueLock);
    SetFailedLocked(args);
    args.blobInfo[index].status = 0;
    args.emptyBlobQueue.push_back(index);
    return 1;
  }
}
