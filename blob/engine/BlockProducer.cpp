// The producer of the block upload engine, UploadBlobChunks: it reads the
// file block by block into free slots (skipping the blocks a resume found
// stored), seals each block in place when the file is encrypted
// (BlobEncryption.h), hashes what is sent when the upload carries MD5
// digests, checks at the end that the file is still the one whose size was
// taken, and queues one uploader task per filled slot on its thread pool.
// See SlotBoard.h for the hand-over.

#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/engine/UploadBlobArgs.h"
#include "blob/storage/BlobEncryption.h"
#include "blob/storage/BlockId.h"
#include "platform/log/EvDebug.h"
#include "platform/threads/ZuThread.h"
#include "session/FileChange.h"

namespace zu::blob {
namespace {

constexpr int kPoolQueueLimit = 100000;
// Piece in which blocks skipped on resume are read for the whole file's MD5.
constexpr unsigned long long kHashPieceBytes = 1048576;

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
    CPzError error = args.producer.file->Read(piece.get(), want, read);
    if (error.IsError()) return error;
    args.producer.fileMd5.Update(piece.get(), static_cast<size_t>(read));
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
  while (blockNo < args.description.stored.size() && args.description.stored[blockNo]) {
    const unsigned long long remaining = args.description.identity.size - total;
    const unsigned long long length =
        remaining < args.description.blockCapacity ? remaining : args.description.blockCapacity;
    ++blockNo;
    total += length;
    bytes += length;
    args.producer.blockIdList.push_back(zu::blob::BlockId(blockNo, args.description.blockTag));
  }
  if (blockNo < first) return true;
  CPzError error;
  if (args.description.contentMd5) {
    unsigned long long got = 0;
    error = HashUnsent(args, bytes, got);
    if (!error.IsError() && got < bytes) {
      change = zu::DescribeFileChange(args.description.identity, total - bytes + got,
                                      args.description.identity);
      atEnd = true;
      return true;
    }
  } else {
    error = args.producer.file->Skip(bytes);
  }
  if (!error.IsError() && total == args.description.identity.size) {
    error = zu::ConfirmFileEnd(*args.producer.file, args.description.identity,
                               args.description.identity.size, change);
    atEnd = true;
  }
  if (error.IsError()) {
    args.description.log->Error(kProducerTag,
                                "Error: Failed to skip to offset [%llu] of file [%s]. %s", total,
                                args.description.filePath.c_str(), error.Message().c_str());
    return false;
  }
  args.description.log->DebugLvl(
      2, kProducerTag,
      "Filename [%s], Block No. [%u] to [%u] already stored, [%llu] bytes not "
      "sent again%s.",
      args.description.fileName.c_str(), first, blockNo, bytes,
      args.description.contentMd5 ? " (read for the file's MD5)" : "");
  return true;
}

// Reads the next block of the file into `buffer` (at most `capacity` bytes,
// never past the size taken at the start). When the read reaches that size
// it makes sure the file ends there and still is the file it was. Returns
// false on a read error (logged); `change` is set when the file changed.
bool ReadNextBlock(UploadBlobArgs& args, char* buffer, unsigned long long readSoFar,
                   unsigned long long& bytes, bool& atEnd, std::string& change) {
  const unsigned long long size = args.description.identity.size;
  const unsigned long long remaining = size - readSoFar;
  const unsigned long long want =
      remaining < args.description.blockCapacity ? remaining : args.description.blockCapacity;
  bytes = 0;
  atEnd = false;
  CPzError error;
  if (want > 0) {
    // An encrypted block's regions are read into place, to be sealed there.
    error = args.description.encryption != nullptr
                ? ReadRegions(*args.producer.file, buffer, want, bytes)
                : args.producer.file->Read(buffer, want, bytes);
  }
  if (!error.IsError() && bytes < want) {
    change = zu::DescribeFileChange(args.description.identity, readSoFar + bytes,
                                    args.description.identity);
    atEnd = true;
    return true;
  }
  if (!error.IsError() && readSoFar + bytes == size) {
    error = zu::ConfirmFileEnd(*args.producer.file, args.description.identity,
                               args.description.identity.size, change);
    atEnd = true;
  }
  if (error.IsError()) {
    args.description.log->Error(
        kProducerTag, "Error: Failed to read file [%s] at offset [%llu]. %s",
        args.description.filePath.c_str(), readSoFar, error.Message().c_str());
    return false;
  }
  return true;
}

// The `bytes` bytes just read into slot `index` at file offset `offset`,
// sealed in place when the upload is encrypted; the slot's storedSize is
// what is sent. False, with the upload marked failed, when the block could
// not be sealed (the slot was wiped: nothing of it is sent).
bool SealInSlot(UploadBlobArgs& args, int index, unsigned long long bytes,
                unsigned long long offset) {
  BlobInfo& slot = args.board.slot(index);
  const BlobEncryption* encryption = args.description.encryption;
  slot.storedSize = StoredBytes(encryption, bytes);
  if (encryption == nullptr || SealSlot(*encryption, slot.buffer, bytes)) return true;
  args.description.log->Error(kProducerTag,
                              "Error: The block at offset [%llu] of file [%s] could not be "
                              "encrypted (OpenSSL failed); it is not sent.",
                              offset, args.description.fileName.c_str());
  args.board.Fail("a block could not be encrypted");
  return false;
}

// With the MD5 setting: the MD5 of the `bytes` bytes to send from slot
// `index` (the stored bytes when encrypted), and those bytes added to the
// whole blob's. False, with the upload marked failed, when OpenSSL cannot
// make MD5 digests.
bool HashBlock(UploadBlobArgs& args, int index, unsigned long long bytes) {
  BlobInfo& slot = args.board.slot(index);
  slot.contentMd5.clear();
  if (!args.description.contentMd5) return true;
  slot.contentMd5 = zu::Md5Base64(slot.buffer, static_cast<size_t>(bytes));
  if (args.producer.fileMd5.Update(slot.buffer, static_cast<size_t>(bytes)) &&
      !slot.contentMd5.empty()) {
    return true;
  }
  args.description.log->Error(
      kProducerTag,
      "Error: Cannot compute MD5 digests (OpenSSL refused MD5) for file [%s]; the "
      "setting bEnableZUCloudDRBackupContentMD5 needs them.",
      args.description.fileName.c_str());
  args.board.Fail("MD5 digests are not available");
  return false;
}

// Fills slot `index` with the next block's bookkeeping after `bytes` bytes
// were read into its buffer.
void PrepareBlock(UploadBlobArgs& args, int index, unsigned long long bytes, unsigned int& blockNo,
                  unsigned long long& total, const QueueSnapshot& emptyQueue) {
  BlobInfo& slot = args.board.slot(index);
  slot.offsetStart = total;
  slot.blockSize = bytes;
  total += bytes;
  ++blockNo;
  const std::string number = zu::blob::BlockNumberText(blockNo);
  const std::string id = zu::blob::BlockId(blockNo, args.description.blockTag);
  args.producer.blockIdList.push_back(id);
  slot.blockNo = blockNo;
  slot.blockIdUrlEncoded = zu::blob::UrlEncodedBlockId(id);
  // The token is added when the block is sent: it may be refreshed.
  slot.urlToUpload = args.description.blockUploadURL + slot.blockIdUrlEncoded;
  args.description.log->DebugLvl(
      2, kProducerTag,
      "Filename [%s], Index [%d], Empty Queue [front -> %d, back -> %d, size -> %d], "
      "Block No. [%s], Block Id URL Encoded [%s], Block Size [%llu], Total Block "
      "size [%llu], URL to Upload [%s].",
      args.description.fileName.c_str(), index, emptyQueue.front, emptyQueue.back, emptyQueue.size,
      number.c_str(), slot.blockIdUrlEncoded.c_str(),
      static_cast<unsigned long long>(slot.blockSize), static_cast<unsigned long long>(total),
      slot.urlToUpload.c_str());
}

// A read error, or a file that is no longer the one whose size was taken:
// nothing more is sent and the producer's next turn stops the upload.
void StopReading(UploadBlobArgs& args, const std::string& change) {
  if (!change.empty()) {
    args.description.log->Error(kProducerTag, "Error: File [%s] changed during the upload: %s.",
                                args.description.filePath.c_str(), change.c_str());
  }
  args.board.Fail(std::string(), change);
}

// Hands a filled slot to the uploaders: one pool task per block.
void QueueBlock(UploadBlobArgs& args, ZuThreadPool& pool, int index, unsigned int blockNo) {
  args.board.QueueFullSlot(index);
  if (pool.doWork(&ZUCloudAzureService::UploadBlob, &args) != 0) {
    args.description.log->Error(kProducerTag,
                                "Error: Failed to queue the upload of block [%u] of file [%s].",
                                blockNo, args.description.fileName.c_str());
    args.board.Fail();
  }
}

// The producer's last step once every block is read: wait for the uploads
// still running, unless one failed. 0 when every block was queued.
unsigned int FinishProducing(UploadBlobArgs& args, ZuThreadPool& pool) {
  // After a failure the pool's destructor ends the tasks still queued.
  if (!args.board.FinishProducing()) return 1;
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
  BlobInfo& slot = args.board.slot(index);
  unsigned long long bytes = 0;
  std::string change;
  const bool read = ReadNextBlock(args, slot.buffer, total, bytes, atEnd, change);
  if (!read || !change.empty()) {
    args.board.ReturnEmptySlot(index);
    StopReading(args, change);
    atEnd = false;
    return;
  }
  if (bytes == 0 || !SealInSlot(args, index, bytes, total) ||
      !HashBlock(args, index, slot.storedSize)) {
    args.board.ReturnEmptySlot(index);
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
  EvDebug* log = args.description.log;
  try {
    unsigned int blockNo = 0;
    unsigned long long total = 0;
    ZuThreadPool pool;
    if (pool.initThreadPool(kPoolQueueLimit, args.board.slotCount(), args.board.slotCount(),
                            args.board.slotCount()) != 0) {
      log->Error(kProducerTag, "Error: Failed to start the upload threads for file [%s].",
                 args.description.filePath.c_str());
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
      args.board.WaitTurn();
      int index = 0;
      QueueSnapshot emptyQueue;
      const ProducerTurn turn =
          args.board.TakeEmptySlot(log, args.description.fileName, index, emptyQueue);
      if (turn == ProducerTurn::kStopped) {
        // The token stays taken and no uploader starts a new attempt (they
        // see the failure); ending the pool outside the queue lock lets
        // uploaders still sending finish and hand their slots back.
        pool.terminateAllThreads();
        return 1;
      }
      if (turn == ProducerTurn::kNoSlot || index < 0 || index >= args.board.slotCount()) {
        args.board.EndTurn();
        // Every slot waits for its uploader: let the uploaders' threads reach
        // the semaphore before taking the next turn.
        std::this_thread::yield();
        continue;
      }

      FillSlot(args, pool, index, emptyQueue, blockNo, total, atEnd);
      args.board.EndTurn();
    }
    return FinishProducing(args, pool);
  } catch (const std::bad_alloc&) {
    log->Error(kProducerTag, "Error: Not enough memory to read file [%s].",
               args.description.filePath.c_str());
    args.board.Fail();
    return 1;
  }
}
