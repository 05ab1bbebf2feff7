// Deciding, at the start of a blob upload, which blocks need not be sent.
//
// Without a journal for the blob the upload is a fresh one: it gets a new
// upload tag (BlockId.h), a journal is started and no extra request is
// made. With a journal of the same file (same identity) and block size, the
// upload keeps the journal's tag and the service is asked which uncommitted
// blocks it holds; a block both journalled and held under its tagged id
// with its full length (its stored length, when encrypted) is skipped.
//
// An encrypted upload resumes only from a journal of the same
// key-encryption key whose seal (ResumeJournal.h) verifies under that key
// and whose content key unwraps under it, and then takes that content key,
// so that the blocks stored and those still to send make one blob. A
// journal of an unencrypted upload, of another key, without a seal (version
// 3), with a seal that does not verify or a content key that does not
// unwrap, or an encrypted journal met by an upload without encryption, is
// removed and the file is sent whole under its fresh content key.
//
// A journal that names every block of the file as confirmed, or that says
// the block list was sent, may be of an upload that storage committed
// while its process died before the reply: the blob's committed block list
// is read before anything else. When it names exactly the journal's blocks
// (JournalCommit.h) of this very file (same identity; encrypted: the seal
// verified under the current key), the upload is done: the journal is
// removed, one line says so, and nothing is sent. Otherwise the resume goes
// on as above. A token that may not read (403 AuthorizationPermissionMismatch,
// a write-only SAS) can read neither list: the file is sent whole, with one
// warning line that says so.
//
// One upload at a time uses a blob's journal: it takes the lock beside it
// (PrivateLock.h) before reading it and holds it until the upload ends. An
// upload that finds it held, by another process or by another upload of
// this one, uses no journal, sends nothing and fails the file at once with
// `heldBy` saying who holds it ("another upload (pid N) holds the journal
// of FILE"); it does not wait, since the holder may run for hours and,
// once it commits, a second upload would only send the whole file again.
// A lock that cannot be taken at all (a state folder on a file system
// without such locks) leaves the upload without a journal, with one log
// line saying why.
//
// Blocks of any other upload carry other ids, so they are never skipped,
// and never committed, in this one's place. A journal that cannot be
// trusted is replaced; one of a file that changed is removed; a state
// folder that cannot be used, or a service that cannot answer, leaves the
// upload as it would be without resume, with one log line saying why.
#ifndef ZUCLOUD_BLOB_RESUME_H
#define ZUCLOUD_BLOB_RESUME_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "blob/resume/ResumeJournal.h"
#include "blob/storage/BlobEncryption.h"
#include "blob/storage/UncommittedBlocks.h"
#include "platform/host/PrivateLock.h"
#include "platform/host/SequentialFile.h"

class EvDebug;

namespace zu::blob {

struct ResumeRequest {
  std::string blobUrl;   // without query
  std::string fileName;  // for log lines
  FileIdentity identity;
  unsigned long long blockSize = 0;
  // The file's keys (null: not encrypted); the journal's content key
  // replaces the fresh one when the upload resumes. Not owned.
  BlobEncryption* encryption = nullptr;
  // Asks the service for the blob's uncommitted blocks.
  std::function<UncommittedBlocks()> queryService;
  // Asks the service for the blob's committed block list; null: never.
  std::function<BlockListing()> queryCommitted;
};

struct ResumeStart {
  // An earlier run's commit was found: the blob is the file, nothing to send.
  bool committed = false;
  // Not empty: another upload holds the journal's lock, and this text says
  // so; the file is not to be sent.
  std::string heldBy;
  // Held until the upload ends (declared before the journal, so that it
  // outlives it); null: no lock was taken.
  std::unique_ptr<PrivateLock> lock;
  std::unique_ptr<ResumeJournal> journal;  // null: the upload keeps none
  // The upload's tag for its block ids; "" only when no random tag could be
  // had (then nothing is skipped and no journal is kept).
  std::string tag;
  std::vector<bool> stored;  // by block number - 1: held by the service, skip it
  unsigned long long storedBlocks = 0;
  unsigned long long storedBytes = 0;
};

ResumeStart PrepareResume(const ResumeRequest& request, EvDebug* log);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_RESUME_H
