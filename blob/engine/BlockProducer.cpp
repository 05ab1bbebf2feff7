// The producer of the block upload engine, UploadBlobChunks: it reads the
// file block by block into free slots (skipping the blocks a resume found
// stored), hashes each block when the upload carries MD5 digests, checks at
// the end that the file is still the one whose size was taken, and queues
// one uploader task per filled slot on its thread pool. See SlotHandOver.h
// for the hand-over and UploadBlobArgs.h for the protocol.

#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/storage/BlockId.h"
#include "blob/engine/SlotHandOver.h"
#include "platform/log/EvDebug.h"
#include "platform/threads/ZuThread.h"
#include "session/FileChange.h"

// The engine's own steps, beside the hand-over they use.
namespace zu::blob {
namespace {

constexpr int kPoolQueueLimit = 100000;
// Piece in which blocks skipped on resume are read for the whole file's MD5.
constexpr unsigned long long kHashPieceBytes = 1048576;

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
    const unsigned long long length =
        remaining < args.blockCapacity ? remaining : args.blockCapacity;
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
void PrepareBlock(UploadBlobArgs& args, int index, unsigned long long bytes, unsigned int& blockNo,
                  unsigned long long& total, const QueueSnapshot& emptyQueue) {
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
  // The token is added when the block is sent: it may be refreshed.
  slot.urlToUpload = args.blockUploadURL + slot.blockIdUrlEncoded;
  args.log->DebugLvl(
      2, kProducerTag,
      "Filename [%s], Index [%d], Empty Queue [front -> %d, back -> %d, size -> %d], "
      "Block No. [%s], Block Id URL Encoded [%s], Block Size [%llu], Total Block "
      "size [%llu], URL to Upload [%s].",
      args.fileName.c_str(), index, emptyQueue.front, emptyQueue.back, emptyQueue.size,
      number.c_str(), slot.blockIdUrlEncoded.c_str(),
      static_cast<unsigned long long>(slot.blockSize), static_cast<unsigned long long>(total),
      slot.urlToUpload.c_str());
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

// One turn with a free slot (token held): reads the next block into slot
// `index` and queues it for an uploader, or hands the slot back. A read
// error or a changed file stops the upload at the next turn, and so does a
// block that cannot be hashed; an empty file has no block at all (the
// storage service refuses empty Put Block bodies; its block list is empty).
void FillSlot(UploadBlobArgs& args, ZuThreadPool& pool, int index, const QueueSnapshot& emptyQueue,
              unsigned int& blockNo, unsigned long long& total, bool& atEnd) {
  BlobInfo& slot = args.blobInfo[index];
  unsigned long long bytes = 0;
  std::string change;
  const bool read = ReadNextBlock(args, slot.buffer, total, bytes, atEnd, change);
  if (!read || !change.empty()) {
    ReturnEmptySlot(args, index);
    StopReading(args, change);
    atEnd = false;
    return;
  }
  if (bytes == 0 || !HashBlock(args, index, bytes)) {
    ReturnEmptySlot(args, index);
    return;
  }
  PrepareBlock(args, index, bytes, blockNo, total, emptyQueue);
  QueueBlock(args, pool, index, blockNo);
}

}  // namespace
}  // namespace zu::blob

unsigned int ZUCloudAzureService::UploadBlobChunks(void* argument) {
  using namespace zu::blob;
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

      FillSlot(args, pool, index, emptyQueue, blockNo, total, atEnd);
      args.semaphore->release(1);
    }
    return FinishProducing(args, pool);
  } catch (const std::bad_alloc&) {
    log->Error(kProducerTag, "Error: Not enough memory to read file [%s].", args.filePath.c_str());
    MarkUploadFailed(args);
    return 1;
  }
}
