// The block upload engine of ZUCloudAzureService: UploadFile and its two
// thread routines, the producer UploadBlobChunks and the uploader UploadBlob.
//
// UploadFile cuts a file into blocks of m_uploadBlobSize bytes (larger for a
// file that would need more than 50,000 blocks, see UploadPlan.h); the
// producer reads them into at most m_uploadStreamCount buffer slots and
// queues one uploader task per block on a pool; each task sends its block
// with Put Block; when every block is stored the block list is committed
// (UploadBlockList). The hand-over protocol is described in
// UploadBlobArgs.h: by default one turn token, so at most one Put Block is
// in flight and reading never overlaps a send. With the MD5 setting every
// block carries its Content-MD5 and the commit the whole file's MD5; the
// access tier setting goes with the commit (StoreHeaders.h).
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ZUCloudAzureService.h"
#include "blob/BlobPath.h"
#include "blob/BlockId.h"
#include "blob/FileInfo.h"
#include "blob/Resume.h"
#include "blob/SingleRequestUpload.h"
#include "blob/StoreHeaders.h"
#include "blob/UploadBlobArgs.h"
#include "blob/UploadPlan.h"
#include "platform/log/EvDebug.h"
#include "platform/host/FXFile.h"
#include "platform/text/FXString.h"
#include "platform/text/Md5.h"
#include "platform/http/SendPacer.h"
#include "platform/host/SequentialFile.h"
#include "session/UploadProgress.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/threads/ZuSync.h"
#include "platform/threads/ZuThread.h"
#include "session/FileChange.h"
#include "session/NoThrow.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"
#include "session/SessionParams.h"
#include "session/UploadTuning.h"

namespace {

constexpr int kBlockCreated = 201;
constexpr int kBadRequest = 400;
// The storage service's error code for a block id whose length differs from
// the ids of the blob's uncommitted blocks.
constexpr const char* kIdLengthRefusal = "<Code>InvalidBlobOrBlock</Code>";
constexpr const char* kUploadFileTag = "UploadFile";
constexpr const char* kProducerTag = "UploadBlobChunks";
constexpr const char* kUploaderTag = "UploadBlob";
constexpr unsigned int kPutBlockRetryWaitMs = 120000;
constexpr int kPoolQueueLimit = 100000;
constexpr long long kMiB = 1048576;
// Piece in which blocks skipped on resume are read for the whole file's MD5.
constexpr unsigned long long kHashPieceBytes = 1048576;

// Front, back and size of a queue as the log lines show them (front and
// back read 0 when the queue is empty).
struct QueueSnapshot {
  int front = 0;
  int back = 0;
  int size = 0;
};

template <typename Queue>
QueueSnapshot Snapshot(const Queue& queue) {
  QueueSnapshot snapshot;
  if (!queue.empty()) {
    snapshot.front = queue.front();
    snapshot.back = queue.back();
  }
  snapshot.size = static_cast<int>(queue.size());
  return snapshot;
}

// Opens the file to upload and takes its identity, with the two failure
// lines of the size check under `tag`.
std::unique_ptr<zu::SequentialFile> OpenForUpload(EvDebug* log, const char* tag,
                                                  const std::string& path,
                                                  zu::FileIdentity& identity) {
  CPzError error;
  std::unique_ptr<zu::SequentialFile> file = zu::OpenSequentialFile(path, error);
  if (!file) {
    log->Error(tag, "Error: Cannot open the file [%s] to get the size, make sure you have permissions. %s",
               path.c_str(), error.Message().c_str());
    return nullptr;
  }
  error = file->Identity(identity);
  if (error.IsError()) {
    log->Error(tag, "Error: Failed to get the size of the file [%s]. %s", path.c_str(),
               error.Message().c_str());
    return nullptr;
  }
  return file;
}

// Holds the turn token taken by the caller and gives it back on scope exit,
// so that no path of an uploader can keep it.
class TurnToken {
 public:
  explicit TurnToken(ZuSemaphore* semaphore) : m_semaphore(semaphore) {}
  ~TurnToken() { m_semaphore->release(1); }
  TurnToken(const TurnToken&) = delete;
  TurnToken& operator=(const TurnToken&) = delete;

 private:
  ZuSemaphore* m_semaphore;
};

// Releases every slot's buffer and gateway when UploadFile's scope ends,
// whichever way it ends. Declared after the semaphore and before the
// producer thread, so it runs after the thread was joined.
class SlotRelease {
 public:
  SlotRelease(ZUCloudAzureService& service, UploadBlobArgs& args)
      : m_service(service), m_args(args) {}
  ~SlotRelease() {
    closeGateways();
    if (!m_args.blobInfo) return;
    for (int i = 0; i < m_args.slotCount; ++i) {
      BlobInfo& slot = m_args.blobInfo[i];
      slot.pages = zu::PageBuffer();
      slot.buffer = nullptr;
    }
  }

  // Closes the slots' gateways once no uploader runs any more, so that
  // their connections are free (pooled) for the block list commit.
  void closeGateways() {
    if (!m_args.blobInfo) return;
    for (int i = 0; i < m_args.slotCount; ++i) {
      BlobInfo& slot = m_args.blobInfo[i];
      if (slot.gateway != nullptr) {
        m_service.closeZuInternetGateway(slot.gateway);
        delete slot.gateway;
        slot.gateway = nullptr;
      }
    }
  }
  SlotRelease(const SlotRelease&) = delete;
  SlotRelease& operator=(const SlotRelease&) = delete;

 private:
  ZUCloudAzureService& m_service;
  UploadBlobArgs& m_args;
};

// What the producer found at the start of a turn.
enum class ProducerTurn {
  kSlot,     // took a free slot
  kNoSlot,   // every slot is busy; try again
  kStopped,  // a block failed for good: the pool was terminated
};

// The producer's queue step of one turn (token held). After a failure it
// answers kStopped; the producer then ends the pool, still holding its
// token, so no Put Block can start any more.
ProducerTurn TakeEmptySlot(UploadBlobArgs& args, int& index, QueueSnapshot& emptyQueue) {
  ZuCriticalSectionLock lock(&args.queueLock);
  if (args.bAnyChunkUploadFailed) {
    args.bUploadComplete = false;
    args.log->Error(kProducerTag, "Terminate Thread is being Called, just passed index [%d].", index);
    return ProducerTurn::kStopped;
  }
  if (!args.emptyBlobQueue.empty()) {
    emptyQueue = Snapshot(args.emptyBlobQueue);
    // The slot freed last: its pages are already in use (and likely still
    // cached), so an upload touches only the slots it needs at once.
    index = args.emptyBlobQueue.back();
    args.emptyBlobQueue.pop_back();
    return ProducerTurn::kSlot;
  }
  const QueueSnapshot full = Snapshot(args.fullBlobQueue);
  args.log->DebugLvl(2, kProducerTag,
                     "emptyBlobQueue is empty, releasing Semaphore, Filename [%s], Full Queue -> "
                     "[front -> %d, back -> %d, size -> %d],",
                     args.fileName.c_str(), full.front, full.back, full.size);
  return ProducerTurn::kNoSlot;
}

void ReturnEmptySlot(UploadBlobArgs& args, int index) {
  ZuCriticalSectionLock lock(&args.queueLock);
  args.emptyBlobQueue.push_back(index);
}

// Marks the upload failed; the caller holds queueLock.
void SetFailedLocked(UploadBlobArgs& args) REQUIRES(args.queueLock) {
  args.bAnyChunkUploadFailed = true;
  args.bUploadComplete = false;
  args.stopSending.store(true);
}

void MarkUploadFailed(UploadBlobArgs& args, const std::string& fileChange = std::string()) {
  ZuCriticalSectionLock lock(&args.queueLock);
  SetFailedLocked(args);
  if (!fileChange.empty() && args.fileChange.empty()) args.fileChange = fileChange;
}

// At the size taken at the start: one byte more must be the end of the
// file, and the file must still be the one it was. `change` says how it
// differs, if it does.
CPzError CheckAtEnd(UploadBlobArgs& args, std::string& change) {
  char probe = 0;
  unsigned long long extra = 0;
  CPzError error = args.file->Read(&probe, 1, extra);
  zu::FileIdentity now;
  if (!error.IsError()) error = args.file->Identity(now);
  if (!error.IsError()) {
    change = zu::DescribeFileChange(args.identity, args.identity.size + extra, now);
  }
  return error;
}

// Reads the next `bytes` bytes of the file into the whole file's MD5
// without sending them, in pieces of kHashPieceBytes. `got` tells how many
// were there (fewer: the file became shorter).
CPzError HashUnsent(UploadBlobArgs& args, unsigned long long bytes, unsigned long long& got) {
  got = 0;
  if (bytes == 0) return CPzError();
  const unsigned long long pieceSize = bytes < kHashPieceBytes ? bytes : kHashPieceBytes;
  std::unique_ptr<char[]> piece(new char[static_cast<size_t>(pieceSize)]);
  while (got < bytes) {
    const unsigned long long want = bytes - got < pieceSize ? bytes - got : pieceSize;
    unsigned long long read = 0;
    CPzError error = args.file->Read(piece.get(), want, read);
    if (error.IsError()) return error;
    args.fileMd5.Update(piece.get(), static_cast<size_t>(read));
    got += read;
    if (read < want) break;
  }
  return CPzError();
}

// Passes over the blocks from the producer's position on that the service
// already holds: their ids join the block list, their bytes are not sent.
// They are skipped unread, or read for the whole file's MD5 when the upload
// makes one (simpler and safer than keeping the digest's state in the
// journal: the MD5 is always the file's own). At the end of the file it
// makes the end check. Returns false on a file error (logged); `change` is
// set when the file changed.
bool SkipStoredBlocks(UploadBlobArgs& args, unsigned int& blockNo, unsigned long long& total,
                      bool& atEnd, std::string& change) {
  const unsigned int first = blockNo + 1;
  unsigned long long bytes = 0;
  while (blockNo < args.stored.size() && args.stored[blockNo]) {
    const unsigned long long remaining = args.identity.size - total;
    const unsigned long long length = remaining < args.blockCapacity ? remaining : args.blockCapacity;
    ++blockNo;
    total += length;
    bytes += length;
    args.blockIdList.push_back(zu::blob::BlockId(blockNo, args.blockTag));
  }
  if (blockNo < first) return true;
  CPzError error;
  if (args.contentMd5) {
    unsigned long long got = 0;
    error = HashUnsent(args, bytes, got);
    if (!error.IsError() && got < bytes) {
      change = zu::DescribeFileChange(args.identity, total - bytes + got, args.identity);
      atEnd = true;
      return true;
    }
  } else {
    error = args.file->Skip(bytes);
  }
  if (!error.IsError() && total == args.identity.size) {
    error = CheckAtEnd(args, change);
    atEnd = true;
  }
  if (error.IsError()) {
    args.log->Error(kProducerTag, "Error: Failed to skip to offset [%llu] of file [%s]. %s", total,
                    args.filePath.c_str(), error.Message().c_str());
    return false;
  }
  args.log->DebugLvl(2, kProducerTag,
                     "Filename [%s], Block No. [%u] to [%u] already stored, [%llu] bytes not "
                     "sent again%s.",
                     args.fileName.c_str(), first, blockNo, bytes,
                     args.contentMd5 ? " (read for the file's MD5)" : "");
  return true;
}

// Reads the next block of the file into `buffer` (at most `capacity` bytes,
// never past the size taken at the start). When the read reaches that size
// it makes sure the file ends there and still is the file it was. Returns
// false on a read error (logged); `change` is set when the file changed.
bool ReadNextBlock(UploadBlobArgs& args, char* buffer, unsigned long long readSoFar,
                   unsigned long long& bytes, bool& atEnd, std::string& change) {
  const unsigned long long size = args.identity.size;
  const unsigned long long remaining = size - readSoFar;
  const unsigned long long want = remaining < args.blockCapacity ? remaining : args.blockCapacity;
  bytes = 0;
  atEnd = false;
  CPzError error;
  if (want > 0) error = args.file->Read(buffer, want, bytes);
  if (!error.IsError() && bytes < want) {
    change = zu::DescribeFileChange(args.identity, readSoFar + bytes, args.identity);
    atEnd = true;
    return true;
  }
  if (!error.IsError() && readSoFar + bytes == size) {
    error = CheckAtEnd(args, change);
    atEnd = true;
  }
  if (error.IsError()) {
    args.log->Error(kProducerTag, "Error: Failed to read file [%s] at offset [%llu]. %s",
                    args.filePath.c_str(), readSoFar, error.Message().c_str());
    return false;
  }
  return true;
}

// With the MD5 setting: the MD5 of the block just read into slot `index`,
// and the block added to the whole file's. False, with the upload marked
// failed, when OpenSSL cannot make MD5 digests.
bool HashBlock(UploadBlobArgs& args, int index, unsigned long long bytes) {
  BlobInfo& slot = args.blobInfo[index];
  slot.contentMd5.clear();
  if (!args.contentMd5) return true;
  slot.contentMd5 = zu::Md5Base64(slot.buffer, static_cast<size_t>(bytes));
  if (args.fileMd5.Update(slot.buffer, static_cast<size_t>(bytes)) && !slot.contentMd5.empty()) {
    return true;
  }
  args.log->Error(kProducerTag,
                  "Error: Cannot compute MD5 digests (OpenSSL refused MD5) for file [%s]; the "
                  "setting bEnableZUCloudDRBackupContentMD5 needs them.",
                  args.fileName.c_str());
  ZuCriticalSectionLock lock(&args.queueLock);
  SetFailedLocked(args);
  if (args.failureDetail.empty()) args.failureDetail = "MD5 digests are not available";
  return false;
}

// Fills slot `index` with the next block's bookkeeping after `bytes` bytes
// were read into its buffer.
void PrepareBlock(UploadBlobArgs& args, int index, unsigned long long bytes,
                  unsigned int& blockNo, unsigned long long& total,
                  const QueueSnapshot& emptyQueue) {
  BlobInfo& slot = args.blobInfo[index];
  slot.offsetStart = total;
  slot.blockSize = bytes;
  total += bytes;
  ++blockNo;
  const std::string number = zu::blob::BlockNumberText(blockNo);
  const std::string id = zu::blob::BlockId(blockNo, args.blockTag);
  args.blockIdList.push_back(id);
  slot.blockNo = blockNo;
  slot.blockIdUrlEncoded = zu::blob::UrlEncodedBlockId(id);
  slot.urlToUpload = args.blockUploadURL + slot.blockIdUrlEncoded + "&" + args.sasToken;
  args.log->DebugLvl(2, kProducerTag,
                     "Filename [%s], Index [%d], Empty Queue [front -> %d, back -> %d, size -> %d], "
                     "Block No. [%s], Block Id URL Encoded [%s], Block Size [%llu], Total Block "
                     "size [%llu], URL to Upload [%s].",
                     args.fileName.c_str(), index, emptyQueue.front, emptyQueue.back,
                     emptyQueue.size, number.c_str(), slot.blockIdUrlEncoded.c_str(),
                     static_cast<unsigned long long>(slot.blockSize),
                     static_cast<unsigned long long>(total), slot.urlToUpload.c_str());
}

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
  args.log->Error(kUploaderTag, "Error: bAnyChunkUploadFailed is set by blob index [%d], block id [%u]",
                  index, slot.blockNo);
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

// Sends the block of slot `index` with Put Block under the retry policy.
// Returns the attempts made; `sent` tells the outcome.
int PutBlock(UploadBlobArgs& args, int index, const QueueSnapshot& fullQueue, bool& sent,
             std::string& lastError) {
  BlobInfo& slot = args.blobInfo[index];
  EvDebug* log = args.log;
  zu::RetryOptions options = zu::FixedWaitRetry(args.retryCount, kPutBlockRetryWaitMs, false);
  // Once any block has failed for good no block is sent again, and a wait
  // between attempts ends at once.
  options.stopRequested = [&args] { return args.stopSending.load(); };
  const zu::RetryLines lines = zu::StandardRetryLines(
      log, kUploaderTag,
      zu::FormatLogText("Error: Failed to upload chunk to cloud for file [%s], chunk offset start: "
                        "[%llu] end: [%llu]. ",
                        args.fileName.c_str(), slot.offsetStart,
                        slot.offsetStart + slot.blockSize),
      zu::kRetryingAfterLine);
  ZuCURL::commandInfoList headers;
  zu::blob::AddContentMd5(headers, slot.contentMd5);
  const zu::RetryOutcome outcome = zu::RunWithRetry(options, lines, [&](int attempt) {
    std::string response;
    bool stored = slot.gateway->doPutOperation(slot.urlToUpload, slot.buffer,
                                               static_cast<long>(slot.blockSize), response,
                                               headers) == 0;
    if (stored) {
      // Storage confirms a stored block with 201 Created. Another 2xx (an
      // empty or foreign 200 from something between us and storage) proves
      // nothing: retrying now is cheaper than a commit refused later.
      int status = 0;
      slot.gateway->getLastServerResponseCode(status);
      if (status != kBlockCreated) {
        log->Error(kUploaderTag,
                   "Error: Block No. [%u] of file [%s] was answered with HTTP status [%d] instead "
                   "of [%d]; the block is not confirmed. Upload attempt [%d]. Response: [%s]",
                   slot.blockNo, args.fileName.c_str(), status, kBlockCreated, attempt,
                   response.c_str());
        lastError = "HTTP status " + std::to_string(status) + " instead of 201 Created";
        return zu::AttemptResult::kRetry;
      }
    }
    if (stored) {
      log->DebugLvl(2, kUploaderTag,
                    "Success: Upload of chunk to cloud for file [%s], Index [%d], Full Queue "
                    "[front -> %d, back -> %d, size -> %d], Block No. [%u], Block Id URL Encoded "
                    "[%s], Block Size [%llu], URL to Upload [%s]. Response: [%s]",
                    args.fileName.c_str(), index, fullQueue.front, fullQueue.back, fullQueue.size,
                    slot.blockNo, slot.blockIdUrlEncoded.c_str(),
                    static_cast<unsigned long long>(slot.blockSize), slot.urlToUpload.c_str(),
                    response.c_str());
      return zu::AttemptResult::kSuccess;
    }
    int status = 0;
    slot.gateway->getLastServerResponseCode(status);
    if (status == kBadRequest && response.find(kIdLengthRefusal) != std::string::npos) {
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
               static_cast<unsigned long long>(slot.blockSize), slot.urlToUpload.c_str(), attempt,
               slot.gateway->getErrorMsg().c_str(), response.c_str());
    lastError = slot.gateway->getErrorMsg();
    if (IsMd5Refusal(response)) {
      lastError += " (the bytes the service received did not match the block's Content-MD5)";
    }
    return zu::AttemptResult::kRetry;
  });
  sent = outcome.succeeded;
  return outcome.attempts;
}

// The steps of UploadFile.

// The encoded blob path of folder/name; false with the caller's message for
// a name no blob can carry.
bool CheckBlobName(EvDebug* log, const std::string& remoteFolder, const std::string& fileName,
                   std::string& blobPath, std::wstring& errorMessage) {
  std::string problem;
  if (zu::blob::BuildBlobPath(remoteFolder, fileName, blobPath, problem)) return true;
  const std::string text = zu::blob::RefusedNameMessage(fileName, problem);
  log->Error(kUploadFileTag, "%s", text.c_str());
  errorMessage = FXString::ToWstring(text);
  return false;
}

// The file's record: the one registered before init in Azure Functions
// mode (null, with the message, when there is none), a new one otherwise.
std::shared_ptr<FileInfo> FindRecord(
    EvDebug* log, bool azureFunctionsMode,
    const std::unordered_map<std::string, unsigned long long>& index,
    const std::vector<std::shared_ptr<FileInfo>>& list, const std::string& fileName,
    bool& isNew, std::wstring& errorMessage) {
  isNew = !azureFunctionsMode;
  if (isNew) {
    auto record = std::make_shared<FileInfo>();
    record->fileName = fileName;
    return record;
  }
  auto it = index.find(fileName);
  if (it == index.end() || it->second >= list.size()) {
    log->error("ZUCloudAzureService(1346): -Error-: Could not find upload token for file [%s]. "
               "Skipping upload",
               fileName.c_str());
    errorMessage = L"Could not find upload token for file. Skipping upload";
    return nullptr;
  }
  return list[it->second];
}

// The block size and slots for a file of `fileSize` bytes, with the line for
// a raised block size; false with the caller's message for a file no blob
// can hold.
bool PlanFile(EvDebug* log, const std::string& localPath, unsigned long long fileSize,
              long long blobSize, long long streamCount, const zu::UploadTuning& tuning,
              zu::blob::UploadPlan& plan, std::wstring& errorMessage) {
  plan = zu::blob::PlanUpload(fileSize, static_cast<unsigned long long>(blobSize), streamCount,
                              tuning.parallelBlocks);
  if (!plan.fits) {
    const std::string text = "Error: File needs more than " +
                             std::to_string(zu::blob::kMaxBlocksPerBlob) + " blocks of " +
                             std::to_string(zu::blob::kMaxBlockBytes / kMiB) +
                             " MiB, the most a blob can hold.";
    log->Error(kUploadFileTag, "%s File [%s], size [%llu].", text.c_str(), localPath.c_str(),
               fileSize);
    errorMessage = FXString::ToWstring(text);
    return false;
  }
  if (plan.blockSizeRaised) {
    log->Error(kUploadFileTag,
               "Warning: File [%s] of [%llu] bytes needs more than %llu blocks of [%lld] MiB; "
               "it is sent in blocks of [%llu] MiB with [%d] buffer slot(s) instead.",
               localPath.c_str(), fileSize, zu::blob::kMaxBlocksPerBlob, blobSize / kMiB,
               plan.blockSize / kMiB, plan.slots);
  }
  return true;
}

// Gives every slot its buffer: zeroed, page-aligned memory from the system,
// which costs nothing until a block is read into it (and into which the
// kernel copies file pages several times faster than into a heap block).
// Runs before the producer starts: no other thread sees `args` yet.
void AllocateSlots(UploadBlobArgs& args, unsigned long long bufferSize) NO_THREAD_SAFETY_ANALYSIS {
  args.blobInfo.reset(new BlobInfo[static_cast<size_t>(args.slotCount)]);
  for (int i = 0; i < args.slotCount; ++i) {
    args.blobInfo[i].pages = zu::PageBuffer(static_cast<size_t>(bufferSize));
    args.blobInfo[i].buffer = args.blobInfo[i].pages.data();
    args.emptyBlobQueue.push_front(i);  // slot 0 is taken first
  }
}

// Runs the producer (and through it the uploaders) to its end; false when
// the thread could not start.
bool RunProducer(UploadBlobArgs& args) {
  ZuThread producer;
  if (producer.createThread(&ZUCloudAzureService::UploadBlobChunks, &args) != 0) {
    args.log->Error(kUploadFileTag, "Error: Failed to start the upload thread for file [%s].",
                    args.filePath.c_str());
    return false;
  }
  producer.joinThread(nullptr);
  return true;
}

// The caller's message for an upload that stopped before its commit. Runs
// once the producer was joined: no other thread uses `args` any more.
std::wstring StoppedUploadMessage(const UploadBlobArgs& args) NO_THREAD_SAFETY_ANALYSIS {
  if (!args.fileChange.empty()) {
    return FXString::ToWstring(zu::FileChangedMessage(args.fileName, args.fileChange));
  }
  const std::string detail = args.failureDetail.empty()
                                 ? std::string("the file could not be read or sent")
                                 : args.failureDetail;
  return FXString::ToWstring("Error: Failed to upload file [" + args.fileName +
                             "] to cloud: " + detail +
                             ". Please check ZUCloudService.log for more details.");
}

// A read error, or a file that is no longer the one whose size was taken:
// nothing more is sent and the producer's next turn stops the upload.
void StopReading(UploadBlobArgs& args, const std::string& change) {
  if (!change.empty()) {
    args.log->Error(kProducerTag, "Error: File [%s] changed during the upload: %s.",
                    args.filePath.c_str(), change.c_str());
  }
  MarkUploadFailed(args, change);
}

// Hands a filled slot to the uploaders: one pool task per block.
void QueueBlock(UploadBlobArgs& args, ZuThreadPool& pool, int index, unsigned int blockNo) {
  {
    ZuCriticalSectionLock lock(&args.queueLock);
    args.fullBlobQueue.push(index);
  }
  if (pool.doWork(&ZUCloudAzureService::UploadBlob, &args) != 0) {
    args.log->Error(kProducerTag, "Error: Failed to queue the upload of block [%u] of file [%s].",
                    blockNo, args.fileName.c_str());
    MarkUploadFailed(args);
  }
}

// The producer's last step once every block is read: wait for the uploads
// still running, unless one failed. 0 when every block was queued.
unsigned int FinishProducing(UploadBlobArgs& args, ZuThreadPool& pool) {
  bool failed;
  {
    ZuCriticalSectionLock lock(&args.queueLock);
    failed = args.bAnyChunkUploadFailed;
    if (!failed) args.bUploadComplete = true;
  }
  if (failed) return 1;  // the pool's destructor ends the tasks still queued
  pool.waitForAllThreads(true, true, true, -1);
  return 0;
}

// Takes the next filled slot for an uploader holding a token. False when
// there is none (a turn that found nothing to send).
bool TakeFullSlot(UploadBlobArgs& args, int& index, QueueSnapshot& fullQueue,
                  bool& alreadyFailed) {
  ZuCriticalSectionLock lock(&args.queueLock);
  alreadyFailed = args.bAnyChunkUploadFailed;
  if (args.fullBlobQueue.empty()) {
    const QueueSnapshot empty = Snapshot(args.emptyBlobQueue);
    args.log->DebugLvl(2, kUploaderTag,
                       "fullBlobQueue is empty, releasing Semaphore, file [%s], Empty Queue -> "
                       "[front -> %d, back -> %d, size -> %d],",
                       args.fileName.c_str(), empty.front, empty.back, empty.size);
    return false;
  }
  fullQueue = Snapshot(args.fullBlobQueue);
  index = args.fullBlobQueue.front();
  args.fullBlobQueue.pop();
  return true;
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
    if (!args.journal->Append(
            zu::blob::JournalBlockLine(slot.blockNo, args.blockCapacity, args.identity.size,
                                       args.blockTag),
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

// The SAS token of the file's upload. False, with the caller's message, when
// the set-up handed out none for it.
bool FindUploadToken(ZUCloudAzureService& service, EvDebug* log, const std::string& fileName,
                     std::string& token, std::wstring& errorMessage) {
  if (service.GetSASTokenForFile(fileName, token)) return true;
  log->error("ZUCloudAzureService(1400): -Error-: Could not find upload token for file [%s]. "
             "Skipping upload",
             fileName.c_str());
  errorMessage = L"Could not find an upload token for this file. Skipping upload";
  return false;
}

// An upload that stopped before its commit. Blocks confirmed for a file
// that changed hold content it no longer has, so its journal goes; the
// caller always gets a message, not only the log. Runs once the producer
// was joined.
int EndStoppedUpload(const UploadBlobArgs& args, zu::blob::ResumeJournal* journal,
                     std::wstring& errorMessage) NO_THREAD_SAFETY_ANALYSIS {
  if (!args.fileChange.empty() && journal != nullptr) journal->Remove();
  if (!args.fileChange.empty() || errorMessage.empty()) errorMessage = StoppedUploadMessage(args);
  return 0;
}

// Asks for the blocks the service still holds from an interrupted upload
// of this very file (Resume.h); they are not sent again.
zu::blob::ResumeStart StartResume(const zu::SessionParams& params, const std::string& blobUrl,
                                  const UploadBlobArgs& args, int maximumBackoff) {
  zu::blob::ResumeRequest request;
  request.blobUrl = blobUrl.substr(0, blobUrl.find('?'));
  request.fileName = args.fileName;
  request.identity = args.identity;
  request.blockSize = args.blockCapacity;
  request.queryService = [&] {
    return zu::blob::QueryUncommittedBlocks(params, request.blobUrl, args.sasToken, args.fileName,
                                            maximumBackoff);
  };
  return zu::blob::PrepareResume(request, args.log);
}

// What one pass of an upload needs; the same for both passes of a file.
struct BlockPass {
  zu::SessionParams params;
  EvDebug* log = nullptr;
  zu::blob::UploadPlan plan;
  zu::FileIdentity identity;
  std::string localPath;
  std::string fileName;
  std::string remoteFolder;
  std::string blobUrl;  // storage URL + encoded blob path, no query
  int retryCount = 1;
  int maximumBackoff = 0;
  bool tagged = false;  // block ids carry an upload tag
  bool resume = false;  // with a journal, skipping the blocks it proves stored
  bool contentMd5 = false;  // blocks and the block list carry MD5 digests
  // Commits the block list (with the whole file's MD5 when there is one).
  std::function<int(const std::vector<std::string>& ids, const std::string& sasToken,
                    const std::string& fileMd5, std::wstring& errorMessage)>
      commit;
};

// Sends every block of the file (those a resume finds stored excepted) and
// commits the block list: 1 once committed. `idLengthRefused` tells that
// the service refused the pass's ids for their length. The upload state is
// touched here only before the producer starts and after it was joined.
int UploadBlocks(ZUCloudAzureService& service, const BlockPass& pass,
                 std::unique_ptr<zu::SequentialFile> file, bool& idLengthRefused,
                 std::wstring& errorMessage) NO_THREAD_SAFETY_ANALYSIS {
  EvDebug* log = pass.log;
  const zu::blob::UploadPlan& plan = pass.plan;
  UploadBlobArgs args;
  // One token per Put Block that may be in flight (one by default).
  ZuSemaphore turn(plan.parallel);
  args.semaphore = &turn;
  args.blockUploadURL = pass.blobUrl + "?comp=block&blockid=";
  args.fileName = pass.fileName;
  args.filePath = pass.localPath;
  args.file = std::move(file);
  args.identity = pass.identity;
  if (!FindUploadToken(service, log, pass.fileName, args.sasToken, errorMessage)) return 0;
  args.service = &service;
  args.log = log;
  args.slotCount = plan.slots;
  args.parallel = plan.parallel;
  args.blockCapacity = plan.blockSize;
  args.retryCount = pass.retryCount;
  args.contentMd5 = pass.contentMd5;

  zu::blob::ResumeStart resume;
  if (pass.resume) {
    resume = StartResume(pass.params, pass.blobUrl, args, pass.maximumBackoff);
    args.stored = std::move(resume.stored);
    args.journal = resume.journal.get();
    args.bytesConfirmed = resume.storedBytes;
    args.blockTag = resume.tag;
  } else if (pass.tagged) {
    args.blockTag = zu::blob::NewUploadTag();
  }
  SlotRelease release(service, args);
  AllocateSlots(args, plan.bufferSize);

  // The first report is where the upload starts: 0, or the bytes found
  // stored.
  zu::ReportUploadProgress(pass.fileName, resume.storedBytes, pass.identity.size);
  if (!RunProducer(args)) return 0;
  release.closeGateways();
  if (!args.bUploadComplete || args.bAnyChunkUploadFailed) {
    idLengthRefused = args.idLengthRefused.load();
    // The journal names ids the service refused: a later try starts afresh.
    if (idLengthRefused && resume.journal) resume.journal->Remove();
    return EndStoppedUpload(args, resume.journal.get(), errorMessage);
  }
  // The producer was joined: its whole-file digest is complete.
  const std::string fileMd5 = args.contentMd5 ? args.fileMd5.FinishBase64() : std::string();
  if (args.contentMd5 && fileMd5.empty()) {
    // Never a blob without the checksum the settings ask for.
    log->Error(kUploadFileTag,
               "Error: Cannot compute the MD5 of file [%s] (OpenSSL refused MD5); its block "
               "list is not committed.",
               pass.localPath.c_str());
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(pass.fileName) +
                   L"] to cloud: MD5 digests are not available.";
    return 0;
  }
  const int committed = pass.commit(args.blockIdList, args.sasToken, fileMd5, errorMessage);
  // Committing discards the uncommitted blocks: nothing left to resume.
  if (committed != 0 && resume.journal) resume.journal->Remove();
  return committed;
}

// Runs one upload; an exception the shared guard does not word itself
// becomes a failure with its own message.
int GuardUpload(EvDebug* log, const std::string& fileName, std::wstring& errorMessage,
                const std::function<int()>& upload) {
  return zu::NoThrow(log, kUploadFileTag, 0, [&]() -> int {
    try {
      return upload();
    } catch (const char* text) {
      // ZuSemaphore and ZuCriticalSection report a failed creation this way.
      log->Error(kUploadFileTag, "Error: %s, upload of file [%s] abandoned.", text,
                 fileName.c_str());
      errorMessage = FXString::ToWstring(std::string("Error: ") + text);
    } catch (const std::bad_alloc&) {
      log->Error(kUploadFileTag, "Error: Not enough memory to upload file [%s].",
                 fileName.c_str());
      errorMessage = L"Error: Not enough memory to upload the file.";
    }
    return 0;
  });
}

}  // namespace

int ZUCloudAzureService::UploadFile(std::string localDir, std::string fileName,
                                    std::string remoteFolder, std::wstring& errorMessage) {
  std::shared_ptr<FileInfo> record;
  // The upload state is shared only while RunProducer runs; before and after
  // it this thread alone uses it, unlocked.
  auto upload = [&]() NO_THREAD_SAFETY_ANALYSIS -> int {
    EvDebug* log = m_evDbg.get();
    std::string blobPath;
    if (!CheckBlobName(log, remoteFolder, fileName, blobPath, errorMessage)) return 0;
    bool newRecord = false;
    record = FindRecord(log, m_bAzureFunctionsMode, m_fileIndex, m_fileList, fileName, newRecord,
                        errorMessage);
    if (!record) return 0;
    record->url = m_uploadURL + blobPath;

    const std::string localPath = localDir + fileName;
    zu::FileIdentity identity;
    std::unique_ptr<zu::SequentialFile> file =
        OpenForUpload(log, kUploadFileTag, localPath, identity);
    if (!file) return 0;
    record->fileSize = identity.size;

    // At most 50,000 blocks per blob: a file that needs more at the
    // configured size gets larger blocks; one that cannot fit at all is
    // refused now rather than after uploading all of it.
    const zu::UploadTuning tuning = zu::ReadUploadTuning(m_uploadStreamCount);
    if (!tuning.accessTierProblem.empty()) {
      log->Error(kUploadFileTag, "%s File [%s].", tuning.accessTierProblem.c_str(),
                 localPath.c_str());
      errorMessage = FXString::ToWstring(tuning.accessTierProblem);
      return 0;
    }
    zu::blob::UploadPlan plan;
    if (!PlanFile(log, localPath, identity.size, m_uploadBlobSize, m_uploadStreamCount, tuning,
                  plan, errorMessage)) {
      return 0;
    }
    // The cap covers every file byte this process sends, from now on.
    zu::SendPacer::Global().SetRate(static_cast<unsigned long long>(tuning.maxMbps) * 125000ULL);
    if (newRecord) {
      ZuCriticalSectionLock lock(m_fileListLock.get());
      m_fileList.push_back(record);
    }

    if (tuning.singleRequestMiB > 0 &&
        identity.size <= static_cast<unsigned long long>(tuning.singleRequestMiB) * kMiB) {
      zu::blob::SingleRequestUpload single;
      if (!FindUploadToken(*this, log, fileName, single.sasToken, errorMessage)) return 0;
      log->DebugLvl(2, kUploadFileTag, "File [%s] of [%llu] bytes is sent in one request.",
                    fileName.c_str(), identity.size);
      single.params = sessionParams();
      single.blobUrl = record->url;
      single.fileName = fileName;
      single.filePath = localPath;
      single.file = file.get();
      single.identity = identity;
      single.contentMd5 = tuning.contentMd5;
      single.accessTier = tuning.accessTier;
      const int stored = zu::blob::UploadInOneRequest(single, errorMessage);
      record->uploaded = stored != 0;
      return stored;
    }

    // One pass sends every block and commits the list. The ids of a pass
    // that may be resumed carry an upload tag (BlockId.h); when the service
    // refuses them for their length (it holds uncommitted blocks of another
    // upload of this blob whose ids have the other length), one more pass
    // sends the file whole with ids of that length and keeps no journal.
    BlockPass pass;
    pass.params = sessionParams();
    pass.log = log;
    pass.plan = plan;
    pass.identity = identity;
    pass.localPath = localPath;
    pass.fileName = fileName;
    pass.remoteFolder = remoteFolder;
    pass.blobUrl = record->url;
    pass.retryCount = m_nRetryCount;
    pass.maximumBackoff = m_nMaximumBackoff;
    pass.tagged = tuning.resume;
    pass.resume = tuning.resume;
    pass.contentMd5 = tuning.contentMd5;
    pass.commit = [&](const std::vector<std::string>& ids, const std::string& sasToken,
                      const std::string& fileMd5, std::wstring& message) {
      return CommitBlockList(ids, remoteFolder, fileName, sasToken, fileMd5, tuning.accessTier,
                             message);
    };
    bool idLengthRefused = false;
    int committed = UploadBlocks(*this, pass, std::move(file), idLengthRefused, errorMessage);
    if (committed == 0 && idLengthRefused) {
      log->Error(kUploadFileTag,
                 "Warning: The storage service holds uncommitted blocks of another upload of "
                 "file [%s] whose block ids have another length; the file is sent again whole "
                 "with ids of that length.",
                 fileName.c_str());
      zu::FileIdentity again;
      file = OpenForUpload(log, kUploadFileTag, localPath, again);
      if (!file) return 0;
      if (!again.SameContentAs(identity)) {
        const std::string change = zu::DescribeFileChange(identity, again.size, again);
        errorMessage = FXString::ToWstring(zu::FileChangedMessage(
            fileName, change.empty() ? "it was modified while it was read" : change));
        return 0;
      }
      errorMessage.clear();
      pass.tagged = !pass.tagged;
      pass.resume = false;
      committed = UploadBlocks(*this, pass, std::move(file), idLengthRefused, errorMessage);
    }
    record->uploaded = committed != 0;
    return committed != 0 ? 1 : 0;
  };
  const int result = GuardUpload(m_evDbg.get(), fileName, errorMessage, upload);
  if (result == 0 && record) record->uploaded = false;
  return result;
}

unsigned int ZUCloudAzureService::UploadBlobChunks(void* argument) {
  UploadBlobArgs& args = *static_cast<UploadBlobArgs*>(argument);
  EvDebug* log = args.log;
  try {
    unsigned int blockNo = 0;
    unsigned long long total = 0;
    ZuThreadPool pool;
    if (pool.initThreadPool(kPoolQueueLimit, args.slotCount, args.slotCount, args.slotCount) != 0) {
      log->Error(kProducerTag, "Error: Failed to start the upload threads for file [%s].",
                 args.filePath.c_str());
      return 1;
    }

    bool atEnd = false;
    while (!atEnd) {
      std::string skipChange;
      if (!SkipStoredBlocks(args, blockNo, total, atEnd, skipChange) || !skipChange.empty()) {
        StopReading(args, skipChange);
        atEnd = false;
      }
      if (atEnd) break;
      args.semaphore->wait();
      int index = 0;
      QueueSnapshot emptyQueue;
      const ProducerTurn turn = TakeEmptySlot(args, index, emptyQueue);
      if (turn == ProducerTurn::kStopped) {
        // The token stays taken and no uploader starts a new attempt (they
        // see the failure); ending the pool outside the queue lock lets
        // uploaders still sending finish and hand their slots back.
        pool.terminateAllThreads();
        return 1;
      }
      if (turn == ProducerTurn::kNoSlot || index < 0 || index >= args.slotCount) {
        args.semaphore->release(1);
        // Every slot waits for its uploader: let the uploaders' threads reach
        // the semaphore before taking the next turn.
        std::this_thread::yield();
        continue;
      }

      BlobInfo& slot = args.blobInfo[index];
      unsigned long long bytes = 0;
      std::string change;
      const bool read = ReadNextBlock(args, slot.buffer, total, bytes, atEnd, change);
      if (!read || !change.empty()) {
        ReturnEmptySlot(args, index);
        StopReading(args, change);
        args.semaphore->release(1);
        atEnd = false;
        continue;
      }
      if (bytes == 0) {
        // An empty file: no block, since the storage service refuses empty
        // Put Block bodies; its block list is empty.
        ReturnEmptySlot(args, index);
        args.semaphore->release(1);
        continue;
      }

      if (!HashBlock(args, index, bytes)) {
        ReturnEmptySlot(args, index);
        args.semaphore->release(1);
        continue;  // the next turn stops the upload
      }
      PrepareBlock(args, index, bytes, blockNo, total, emptyQueue);
      QueueBlock(args, pool, index, blockNo);
      args.semaphore->release(1);
    }
    return FinishProducing(args, pool);
  } catch (const std::bad_alloc&) {
    log->Error(kProducerTag, "Error: Not enough memory to read file [%s].", args.filePath.c_str());
    MarkUploadFailed(args);
    return 1;
  }
}

unsigned int ZUCloudAzureService::UploadBlob(void* argument) {
  UploadBlobArgs& args = *static_cast<UploadBlobArgs*>(argument);
  EvDebug* log = args.log;

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
    log->Error(kUploaderTag, "Error: Not enough memory to upload a block of file [%s].",
               args.fileName.c_str());
    ZuCriticalSectionLock lock(&args.queueLock);
    SetFailedLocked(args);
    args.blobInfo[index].status = 0;
    args.emptyBlobQueue.push_back(index);
    return 1;
  }
}
