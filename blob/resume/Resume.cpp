#include "blob/resume/Resume.h"

#include "blob/resume/JournalCommit.h"
#include "blob/storage/BlockId.h"
#include "platform/crypto/StateSeal.h"
#include "platform/log/EvDebug.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "UploadFile";
// A journal of 50,000 block lines is some 4 MiB.
constexpr size_t kMaxJournalBytes = 8u << 20;

// The journalled blocks the service still holds with their full length.
void MarkStored(const ResumeRequest& request, const JournalContent& journal,
                const UncommittedBlocks& held, ResumeStart& start) {
  const unsigned long long size = request.identity.size;
  start.stored.assign(BlocksNeeded(size, request.blockSize), false);
  for (unsigned int blockNo : journal.blocks) {
    const auto found = held.sizes.find(BlockId(blockNo, journal.tag));
    const unsigned long long offset =
        static_cast<unsigned long long>(blockNo - 1) * request.blockSize;
    const unsigned long long length =
        size - offset < request.blockSize ? size - offset : request.blockSize;
    if (found == held.sizes.end() || found->second != StoredBytes(request.encryption, length) ||
        start.stored[blockNo - 1]) {
      continue;
    }
    start.stored[blockNo - 1] = true;
    ++start.storedBlocks;
    start.storedBytes += length;
  }
}

// The seal of a journal's header under the key-encryption key of
// `encryption`, for a journal with these fields.
std::string SealOf(const BlobEncryption& encryption, const std::string& blobUrl,
                   const FileIdentity& identity, unsigned long long blockSize,
                   const std::string& tag, const std::string& wrappedKey) {
  return SealStateText(encryption.kek,
                       JournalSealedText(blobUrl, identity, blockSize, tag, encryption.kek.kid,
                                         wrappedKey, StoredBytes(&encryption, identity.size)));
}

// True when the journal's mac line is the seal of its own header under this
// key-encryption key.
bool JournalSealed(const BlobEncryption& encryption, const JournalContent& journal) {
  return StateTextSealed(encryption.kek,
                         JournalSealedText(journal.blobUrl, journal.identity, journal.blockSize,
                                           journal.tag, journal.kid, journal.wrappedKey,
                                           StoredBytes(&encryption, journal.identity.size)),
                         journal.mac);
}

// True when the journal's content key can carry on this upload: neither is
// encrypted, or both are under the same key-encryption key, the journal's
// seal proves it was written for this blob, file and tag under that key,
// and its content key unwraps under it (it is then the upload's). Else
// logs why not.
bool SameEncryption(const ResumeRequest& request, const JournalContent& journal,
                    const std::string& path, EvDebug* log) {
  BlobEncryption* encryption = request.encryption;
  if (encryption == nullptr && journal.kid.empty()) return true;
  const char* why = nullptr;
  if (encryption == nullptr) {
    why = "is of an encrypted upload and this one is not encrypted";
  } else if (journal.kid.empty()) {
    why = "is of an upload without encryption and this one is encrypted";
  } else if (journal.kid != encryption->kek.kid) {
    why = "is of an upload encrypted under another key";
  } else if (journal.version < 4) {
    why = "was written by an earlier version, whose journals carried no MAC over the content key";
  } else if (!JournalSealed(*encryption, journal)) {
    why =
        "does not prove that its content key belongs to this file (its MAC does not verify under "
        "the key-encryption key)";
  } else if (!AdoptWrappedKey(*encryption, journal.wrappedKey)) {
    why = "holds a content key that does not unwrap under the key-encryption key";
  } else {
    return true;
  }
  log->Error(kTag,
             "Warning: Resume journal [%s] of file [%s] %s; the journal is removed and the "
             "whole file is sent.",
             path.c_str(), request.fileName.c_str(), why);
  return false;
}

// Reads and parses the blob's journal: false when there is none, or none
// to trust (a line says why).
bool ReadJournal(const ResumeRequest& request, const PrivateDirectory& dir, const std::string& name,
                 EvDebug* log, JournalContent& journal) {
  std::string text;
  std::string problem;
  const std::string path = dir.path() + "/" + name;
  switch (dir.Read(name, kMaxJournalBytes, text, problem)) {
    case PrivateDirectory::ReadResult::kMissing:
      return false;  // a fresh upload
    case PrivateDirectory::ReadResult::kFailed:
      log->Error(kTag,
                 "Warning: Resume journal [%s] of file [%s] cannot be read (%s); it is "
                 "replaced and the whole file is sent.",
                 path.c_str(), request.fileName.c_str(), problem.c_str());
      return false;
    case PrivateDirectory::ReadResult::kRead:
      break;
  }
  if (!ParseJournal(text, journal, problem)) {
    log->Error(kTag,
               "Warning: Resume journal [%s] of file [%s] is damaged (%s); it is ignored "
               "and the whole file is sent.",
               path.c_str(), request.fileName.c_str(), problem.c_str());
    return false;
  }
  if (journal.blobUrl != request.blobUrl) {
    log->Error(kTag,
               "Warning: Resume journal [%s] belongs to another blob [%s]; it is ignored "
               "and file [%s] is sent whole.",
               path.c_str(), journal.blobUrl.c_str(), request.fileName.c_str());
    return false;
  }
  return true;
}

// What the look for an earlier run's commit found.
enum class CommitLookUp {
  kNotFound,    // not looked for, not readable, or not this journal's commit
  kFound,       // the blob's committed list is exactly the journal's: done
  kUnreadable,  // the token cannot read: no block list can be read either
};

// Whether the journal may be of an upload storage committed and the blob's
// committed block list is exactly the journal's.
CommitLookUp LookForCommit(const ResumeRequest& request, const JournalContent& journal,
                           EvDebug* log) {
  if (!request.queryCommitted || !CommitMayBeDone(journal)) return CommitLookUp::kNotFound;
  const BlockListing committed = request.queryCommitted();
  if (committed.noReadPermission) {
    log->Error(kTag,
               "Warning: Cannot learn whether an earlier run stored file [%s] nor which of its "
               "blocks the storage service holds: %s; the whole file is sent.",
               request.fileName.c_str(), committed.failure.c_str());
    return CommitLookUp::kUnreadable;
  }
  if (!committed.answered) {
    log->Debug(kTag,
               "The committed block list of file [%s] could not be read (%s); the upload "
               "resumes from the blocks storage holds uncommitted.",
               request.fileName.c_str(), committed.failure.c_str());
    return CommitLookUp::kNotFound;
  }
  if (!JournalNamesCommit(journal, committed.blocks, request.encryption != nullptr)) {
    return CommitLookUp::kNotFound;
  }
  log->Error(kTag,
             "Warning: File [%s] was found committed by an earlier run: the blob's block list "
             "names exactly the [%zu] blocks of its journal; it is not sent again.",
             request.fileName.c_str(), committed.blocks.size());
  return CommitLookUp::kFound;
}

// Reads the blob's journal and, when it is one of this very file, asks the
// service what it holds. Fills `start.stored`; logs why anything found was
// not used.
void FindStoredBlocks(const ResumeRequest& request, const PrivateDirectory& dir,
                      const std::string& name, EvDebug* log, ResumeStart& start) {
  JournalContent journal;
  if (!ReadJournal(request, dir, name, log, journal)) return;
  if (!journal.identity.SameContentAs(request.identity) || journal.blockSize != request.blockSize) {
    log->Error(kTag,
               "Warning: File [%s] is not the one of the interrupted upload (size [%llu] "
               "then, [%llu] now; block size [%llu] then, [%llu] now; or its inode or times "
               "differ); the journal is removed and the whole file is sent.",
               request.fileName.c_str(), journal.identity.size, request.identity.size,
               journal.blockSize, request.blockSize);
    dir.Remove(name);
    return;
  }
  if (!SameEncryption(request, journal, dir.path() + "/" + name, log)) {
    dir.Remove(name);
    return;
  }
  const CommitLookUp commit = LookForCommit(request, journal, log);
  if (commit == CommitLookUp::kFound) {
    dir.Remove(name);
    start.committed = true;
    return;
  }
  start.tag = journal.tag;
  // Nothing was confirmed, or nothing can be read: nothing to ask.
  if (journal.blocks.empty() || commit == CommitLookUp::kUnreadable) return;

  const UncommittedBlocks held = request.queryService();
  if (!held.answered) {
    log->Error(kTag,
               "Warning: Cannot learn which blocks of file [%s] the storage service holds "
               "(%s); the whole file is sent.",
               request.fileName.c_str(), held.failure.c_str());
    return;
  }
  MarkStored(request, journal, held, start);
  log->Debug(kTag,
             "Resuming the upload of file [%s]: [%llu] of [%llu] blocks, [%llu] of [%llu] "
             "bytes, found stored; the journal listed [%zu] blocks.",
             request.fileName.c_str(), start.storedBlocks,
             static_cast<unsigned long long>(start.stored.size()), start.storedBytes,
             request.identity.size, journal.blocks.size());
}

// Takes the lock of the blob's journal. False when the upload must go
// without the journal: `start.heldBy` is set when another upload holds it
// (one error line), and a lock that cannot be taken is logged.
bool LockJournal(const ResumeRequest& request, const PrivateDirectory& dir, EvDebug* log,
                 ResumeStart& start) {
  const std::string name = JournalLockName(request.blobUrl);
  long holder = 0;
  std::string problem;
  switch (PrivateLock::Take(dir, name, start.lock, holder, problem)) {
    case PrivateLock::Result::kTaken:
      return true;
    case PrivateLock::Result::kHeld:
      start.heldBy = "another upload (pid " +
                     (holder > 0 ? std::to_string(holder) : std::string("unknown")) +
                     ") holds the journal of " + request.fileName;
      log->Error(kTag,
                 "Error: File [%s] is not uploaded: %s ([%s/%s] is locked); it is left to "
                 "that upload.",
                 request.fileName.c_str(), start.heldBy.c_str(), dir.path().c_str(), name.c_str());
      return false;
    case PrivateLock::Result::kFailed:
      break;
  }
  log->Error(kTag,
             "Warning: The lock [%s/%s] of the resume journal of file [%s] cannot be taken "
             "(%s); the file is uploaded without a resume journal.",
             dir.path().c_str(), name.c_str(), request.fileName.c_str(), problem.c_str());
  return false;
}

}  // namespace

ResumeStart PrepareResume(const ResumeRequest& request, EvDebug* log) {
  ResumeStart start;
  std::string problem;
  std::unique_ptr<PrivateDirectory> dir = PrivateDirectory::Open(StateDirectory(), problem);
  if (!dir) {
    log->Error(kTag,
               "Warning: State folder [%s] cannot be used (%s); file [%s] is uploaded "
               "without a resume journal.",
               StateDirectory().c_str(), problem.c_str(), request.fileName.c_str());
    // Still tagged: the block list then names only this upload's blocks.
    start.tag = NewUploadTag();
    return start;
  }
  if (!LockJournal(request, *dir, log, start)) {
    if (start.heldBy.empty()) start.tag = NewUploadTag();
    return start;
  }
  const std::string name = JournalFileName(request.blobUrl);
  FindStoredBlocks(request, *dir, name, log, start);
  if (start.committed) return start;
  if (start.tag.empty()) start.tag = NewUploadTag();
  if (start.tag.empty()) {
    log->Error(kTag,
               "Warning: No random upload tag could be made; file [%s] is uploaded "
               "without a resume journal.",
               request.fileName.c_str());
    start.stored.clear();
    start.storedBlocks = 0;
    start.storedBytes = 0;
    return start;
  }

  // The new journal holds the header and the blocks that are skipped; the
  // uploaders add the others as they are confirmed.
  const BlobEncryption* encryption = request.encryption;
  std::string content =
      encryption == nullptr
          ? JournalHeader(request.blobUrl, request.identity, request.blockSize, start.tag)
          : JournalHeader(request.blobUrl, request.identity, request.blockSize, start.tag,
                          encryption->kek.kid, encryption->wrappedKey,
                          SealOf(*encryption, request.blobUrl, request.identity, request.blockSize,
                                 start.tag, encryption->wrappedKey));
  for (size_t i = 0; i < start.stored.size(); ++i) {
    if (start.stored[i]) {
      content += JournalBlockLine(static_cast<unsigned int>(i + 1), request.blockSize,
                                  request.identity.size, start.tag);
    }
  }
  std::unique_ptr<AppendFile> file;
  if (dir->Replace(name, content, problem)) file = dir->OpenForAppend(name, problem);
  if (!file) {
    log->Error(kTag,
               "Warning: Resume journal [%s/%s] cannot be written (%s); file [%s] is "
               "uploaded without one.",
               dir->path().c_str(), name.c_str(), problem.c_str(), request.fileName.c_str());
    return start;
  }
  start.journal = std::make_unique<ResumeJournal>(std::move(dir), name, std::move(file));
  return start;
}

}  // namespace zu::blob
