// The resume journal of a blob upload: which blocks of which file the
// storage service confirmed, so that an upload stopped part-way (a block
// refused for good, the process or the server restarted) can later send
// only the blocks the service does not hold.
//
// One small text file per blob in the state folder (ZUCLOUD_STATE_DIR,
// default /var/lib/zucloud), named from a SHA-256 of the blob's URL without
// its query, with a lock file beside it while an upload uses it. It never
// holds a secret in clear: no SAS token, only the blob URL, and of an
// encrypted file only the content key wrapped under the
// owner's key-encryption key, with that key's id.
//
//   zucloud blob upload journal 4
//   url https://account.blob.core.windows.net/container/folder/name.bak
//   file <device> <inode> <size> <mtime ns> <ctime ns>
//   blocksize <bytes>
//   tag <upload tag>                           see BlockId.h
//   key none                                   not encrypted, or
//   key <Base64 of the kid> <wrapped content key, Base64>
//   mac none                                   not encrypted, or
//   mac <Base64 of the seal>                   see below
//   block <number> <id> <offset> <length>      one per confirmed block
//   commit                                     written just before the block
//                                              list is sent; the last line
//
// Offsets and lengths are the file's (plaintext) bytes. A journal is
// trusted only when every line is exactly of this form and every block
// line agrees with the file's size, the block size and the upload's tag;
// any other journal (one of versions 1 and 2 included: ids without a tag,
// no key line) is ignored and replaced.
//
// The mac line of an encrypted upload's journal is the seal
// (platform/crypto/StateSeal.h), under the key-encryption key, of
// JournalSealedText: the six lines above it and the blob's stored length.
// It binds the wrapped content key to this blob, this very file and this
// upload's tag, so that a key line swapped, damaged or re-wrapped, or a
// journal of another file, is never used. Block lines are not sealed: a
// block is skipped only when storage holds it under this upload's tag with
// its full stored length, and only this upload, under this content key,
// sends blocks with that tag.
//
// Version 3 is version 4 without the mac line. A version 3 journal of an
// upload without encryption is still read (a seal could prove nothing
// there: there is no key to make it with); one of an encrypted upload has
// no seal and is not used (Resume.h).
#ifndef ZUCLOUD_BLOB_RESUME_JOURNAL_H
#define ZUCLOUD_BLOB_RESUME_JOURNAL_H

#include <memory>
#include <string>
#include <vector>

#include "platform/host/PrivateFile.h"
#include "platform/host/SequentialFile.h"
#include "platform/threads/ZuSync.h"

namespace zu::blob {

// ZUCLOUD_STATE_DIR, or /var/lib/zucloud.
std::string StateDirectory();

// "blob-<sha256 of the URL>.journal"; `blobUrl` without its query.
std::string JournalFileName(const std::string& blobUrl);

// "blob-<sha256 of the URL>.lock": the file whose lock (PrivateLock.h) the
// upload using the journal holds from before it reads the journal until
// the upload ends, so that one upload at a time uses it.
std::string JournalLockName(const std::string& blobUrl);

// What a journal says.
struct JournalContent {
  int version = 0;  // 3 or 4
  std::string blobUrl;
  FileIdentity identity;
  unsigned long long blockSize = 0;
  std::string tag;                   // the upload's tag: every id of the upload carries it
  std::string kid;                   // the key-encryption key's id; "" not encrypted
  std::string wrappedKey;            // the content key wrapped under it (Base64)
  std::string mac;                   // the seal (Base64); "" not encrypted, or version 3
  std::vector<unsigned int> blocks;  // numbers (from 1) of the confirmed blocks
  bool commitSent = false;           // the last line is "commit"
};

// The line written just before the block list is sent.
constexpr const char kJournalCommitLine[] = "commit\n";

// The text the mac line seals: the header lines before it (version 4) and
// "stored <storedLength>".
std::string JournalSealedText(const std::string& blobUrl, const FileIdentity& identity,
                              unsigned long long blockSize, const std::string& tag,
                              const std::string& kid, const std::string& wrappedKey,
                              unsigned long long storedLength);

// The header lines of a journal (of an encrypted upload, sealed with `mac`,
// when `kid` is not empty), and the line of one confirmed block.
std::string JournalHeader(const std::string& blobUrl, const FileIdentity& identity,
                          unsigned long long blockSize, const std::string& tag,
                          const std::string& kid = std::string(),
                          const std::string& wrappedKey = std::string(),
                          const std::string& mac = std::string());
std::string JournalBlockLine(unsigned int blockNo, unsigned long long blockSize,
                             unsigned long long fileSize, const std::string& tag);

// True with `content` filled when `text` is a whole, consistent journal;
// false with the reason in `problem` otherwise.
bool ParseJournal(const std::string& text, JournalContent& content, std::string& problem);

// The open journal of one upload. Append is called by the uploader threads
// as confirmations arrive; its lock is taken alone (no other lock of the
// upload is held or taken under it).
class ResumeJournal {
 public:
  ResumeJournal(std::unique_ptr<PrivateDirectory> dir, std::string name,
                std::unique_ptr<AppendFile> file);
  ResumeJournal(const ResumeJournal&) = delete;
  ResumeJournal& operator=(const ResumeJournal&) = delete;

  // The path, for log lines.
  std::string path() const;

  // Records a confirmed block. The first line that cannot be written
  // returns false with `problem` (the journal keeps its whole lines); the
  // journal then stops recording and later calls return true.
  bool Append(const std::string& line, std::string& problem);
  // Deletes the journal (the blob was committed, or the file changed).
  void Remove();

 private:
  const std::unique_ptr<PrivateDirectory> m_dir;
  const std::string m_name;
  zu::Mutex m_mutex;
  std::unique_ptr<AppendFile> m_file GUARDED_BY(m_mutex);  // null once closed
};

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_RESUME_JOURNAL_H
