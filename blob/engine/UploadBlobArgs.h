// Shared state of one ZUCloudAzureService::UploadFile call.
//
// UploadFile owns one UploadBlobArgs on its stack; the producer
// (UploadBlobChunks) and the uploader tasks (UploadBlob) receive its address.
// Buffer slots travel between them by index: emptyBlobQueue holds slots free
// for reading (the producer takes the one freed last), fullBlobQueue slots
// whose block waits to be sent, in read order; a slot taken by the producer
// or an uploader is in neither queue.
//
// Ordering: one turn semaphore. The producer holds a token while it takes a
// slot, reads a block and queues the task; an uploader holds one from taking
// its slot until the slot is back in emptyBlobQueue, through every attempt
// and wait. By default the semaphore has a single token, so at most one Put
// Block is in flight and the file is never read during a send; with the
// parallel setting it has N tokens: up to N Put Blocks in flight, or N - 1
// while the producer reads. Lock order: the semaphore, then progressLock,
// then queueLock.
//
// Failure: the first block that fails for good sets bAnyChunkUploadFailed
// (and stopSending). No uploader sends after that: queued ones give their
// block up unsent, those in an attempt stop before the next one (their
// waits end at once). The producer's next turn ends the pool, whose
// termination waits for the uploaders still sending.
//
// Resume: blocks the service already holds (`stored`) are passed over by
// the producer without a token: their ids join blockIdList, their bytes are
// not sent (nor read, unless the whole file's MD5 needs them). Each block confirmed with 201 is
// added to the journal by its uploader, token held; the journal's own lock is taken alone.
//
// Fields of a BlobInfo other than `status` are written only by the thread
// holding the token and are handed over by it.
//
// MD5 (contentMd5 set): the producer hashes each block once, right after
// reading it, into its slot's contentMd5 (sent with every attempt) and into
// fileMd5, the whole file in read order, which UploadFile reads after the
// producer was joined.
#ifndef ZUCLOUD_BLOB_UPLOAD_BLOB_ARGS_H
#define ZUCLOUD_BLOB_UPLOAD_BLOB_ARGS_H

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <vector>

#include "platform/host/PageBuffer.h"
#include "platform/host/SequentialFile.h"
#include "platform/text/Md5.h"
#include "platform/threads/ThreadAnnotations.h"
#include "platform/threads/ZuSync.h"

class EvDebug;
class ZUCloudAzureService;
namespace zu::blob {
class ResumeJournal;
class TokenRefresh;
}  // namespace zu::blob
namespace LIBCURL {
class ZuInternetGateway;
}

// One buffer slot and the block it currently carries.
struct BlobInfo {
  std::string urlToUpload;             // Put Block URL of the current block, without the token
  unsigned int blockNo = 0;            // 1-based number of the current block
  char* buffer = nullptr;              // pages.data(): the slot's buffer
  zu::PageBuffer pages;                // owned by UploadFile (released by SlotRelease)
  unsigned long long blockSize = 0;    // bytes actually read
  unsigned long long offsetStart = 0;  // file offset of the block's first byte
  std::string blockIdUrlEncoded;
  std::string contentMd5;  // Base64 MD5 of the block's bytes; "" without MD5
  // 1 sent (or none yet), 0 failed. Guarded by the upload's queueLock
  // (UploadBlobArgs), which the analysis cannot name from here.
  unsigned int status = 1;
  // Created by the first uploader using the slot, reused by its later blocks,
  // closed and deleted by UploadFile.
  LIBCURL::ZuInternetGateway* gateway = nullptr;
};

struct UploadBlobArgs {
  // Guards the two queues, the two flags, bytesConfirmed and BlobInfo::status.
  ZuCriticalSection queueLock;  // throws const char* when it cannot be made

  std::string blockUploadURL;  // storage URL/folder/name?comp=block&blockid=
  std::string fileName;
  std::string filePath;  // local directory followed directly by the name
  // The file, opened by UploadFile and read only by the producer, and its
  // identity when it was opened: the bytes read must be exactly those.
  std::unique_ptr<zu::SequentialFile> file;
  zu::FileIdentity identity;
  std::string sasToken;  // the token the pass starts with
  // The file's token, shared by the uploaders (null: sasToken, never
  // refreshed). Not owned.
  zu::blob::TokenRefresh* tokens = nullptr;
  std::unique_ptr<BlobInfo[]> blobInfo;                  // slotCount elements
  ZUCloudAzureService* service = nullptr;                // not owned
  std::vector<std::string> blockIdList;                  // Base64 ids in read order (producer only)
  ZuSemaphore* semaphore = nullptr;                      // the turn semaphore, not owned
  std::deque<int> emptyBlobQueue GUARDED_BY(queueLock);  // taken from the back
  std::queue<int> fullBlobQueue GUARDED_BY(queueLock);
  bool bAnyChunkUploadFailed GUARDED_BY(queueLock) = false;  // false -> true only
  // Set with bAnyChunkUploadFailed; read without the lock by uploaders
  // between their attempts.
  std::atomic<bool> stopSending{false};
  // Set when the service refused a block id for its length: it holds
  // uncommitted blocks of another upload whose ids have another length.
  std::atomic<bool> idLengthRefused{false};
  // Set when a fresh token came with another storage URL: the file starts
  // again there.
  std::atomic<bool> urlChanged{false};
  // Orders progress reports of blocks confirmed in parallel. Lock order:
  // progressLock before queueLock.
  std::mutex progressLock;
  bool bUploadComplete GUARDED_BY(queueLock) = false;
  // Why the upload stopped, for the caller's message.
  std::string failureDetail GUARDED_BY(queueLock);
  // The caller's whole message when storage refused the file for good
  // (StorageReply.h), else "".
  std::string finalMessage GUARDED_BY(queueLock);
  // How the file changed during the upload, when it did.
  std::string fileChange GUARDED_BY(queueLock);

  // Copied from the service so the thread routines need nothing else of it.
  EvDebug* log = nullptr;
  int slotCount = 0;                     // buffer slots (at most m_uploadStreamCount)
  int parallel = 1;                      // tokens of the turn semaphore
  unsigned long long blockCapacity = 0;  // m_uploadBlobSize
  int retryCount = 1;                    // m_nRetryCount
  unsigned long long bytesConfirmed GUARDED_BY(queueLock) = 0;  // bytes stored so far

  // Set before the producer starts, then read only.
  std::string blockTag;                        // the upload tag every block id carries ("" none)
  std::vector<bool> stored;                    // by block number - 1: already held, not sent
  zu::blob::ResumeJournal* journal = nullptr;  // null: none kept; not owned
  bool contentMd5 = false;                     // "bEnableZUCloudDRBackupContentMD5"
  // UploadFile's: set before a Put Block is handed to a gateway (null: none).
  std::atomic<bool>* sent = nullptr;

  zu::Md5 fileMd5;  // producer only (see MD5 above)
};

#endif  // ZUCLOUD_BLOB_UPLOAD_BLOB_ARGS_H
