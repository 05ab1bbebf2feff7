// What one pass of a file's block upload is: fixed by the pass before its
// producer starts, then only read, by the producer and every uploader. The
// state that changes during the pass lives in the slot board (SlotBoard.h)
// and, for what the producer alone touches, in ProducerState.
#ifndef ZUCLOUD_BLOB_ENGINE_UPLOAD_DESCRIPTION_H
#define ZUCLOUD_BLOB_ENGINE_UPLOAD_DESCRIPTION_H

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/SequentialFile.h"
#include "platform/text/Md5.h"
#include "session/SessionParams.h"

class EvDebug;

namespace zu::blob {

struct BlobEncryption;
class ResumeJournal;
class TokenRefresh;

struct UploadDescription {
  SessionParams params;            // gateways of the slots, retry count
  EvDebug* log = nullptr;          // params.log
  std::string fileName;            // the name in the log and the caller's messages
  std::string filePath;            // local directory followed directly by the name
  std::string blockUploadURL;      // storage URL/folder/name?comp=block&blockid=
  FileIdentity identity;           // the file when it was opened: the bytes read must be its own
  std::string sasToken;            // the token the pass starts with
  TokenRefresh* tokens = nullptr;  // fresh tokens after a 403 (null: never); not owned
  int slotCount = 0;               // buffer slots
  int parallel = 1;                // turn tokens: Put Blocks that may be in flight
  unsigned long long blockCapacity = 0;  // bytes of a block (the last one may be shorter)
  int retryCount = 1;                    // attempts of a Put Block
  bool contentMd5 = false;               // blocks and block list carry MD5 digests
  std::string blockTag;                  // the tag every block id carries ("" none)
  std::vector<bool> stored;              // by block number - 1: already held, not sent
  ResumeJournal* journal = nullptr;      // null: none kept; not owned
  std::atomic<bool>* sent = nullptr;     // set before a Put Block leaves (null: none)
  BlobEncryption* encryption = nullptr;  // the file's keys; null: sent as it is; not owned
};

// What the producer alone uses while it runs; the pass reads it once the
// producer was joined.
struct ProducerState {
  std::unique_ptr<SequentialFile> file;  // opened by UploadFile, read in order
  std::vector<std::string> blockIdList;  // Base64 ids in read order
  Md5 fileMd5;                           // the whole file in read order (MD5 on)
};

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_ENGINE_UPLOAD_DESCRIPTION_H
