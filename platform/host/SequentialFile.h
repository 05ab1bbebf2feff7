// A local file read once from front to back: what both upload engines use
// to take a file's identity and read its bytes.
//
// Errors are errno values mapped once, here, into a CPzError whose message
// names the call and the path. Tests replace the files an engine opens
// through the environment (zu::Env: read errors, files that change under the
// reader) without touching the engines.
#ifndef ZUCLOUD_PLATFORM_SEQUENTIAL_FILE_H
#define ZUCLOUD_PLATFORM_SEQUENTIAL_FILE_H

#include <memory>
#include <string>

#include "platform/host/FXFile.h"

namespace zu {

// Who a file is and what state it is in. Two identities with the same
// device, inode, size, modification time and status-change time describe
// the same, unchanged file as far as the system can tell. The modification
// time alone is not enough: any writer can set it back (touch -d, utime),
// while the status-change time moves on every write and cannot be set.
struct FileIdentity {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  unsigned long long size = 0;
  long long modifiedNs = 0;  // st_mtim in nanoseconds since the epoch
  long long changedNs = 0;   // st_ctim in nanoseconds since the epoch

  // Same file, same size, same content as far as its times tell.
  bool SameContentAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modifiedNs == other.modifiedNs && changedNs == other.changedNs;
  }
};

class SequentialFile {
 public:
  virtual ~SequentialFile() = default;
  // The identity of the open file now (fstat).
  virtual CPzError Identity(FileIdentity& identity) = 0;
  // Reads up to `capacity` bytes at the current position; `bytesRead` is
  // short only at the end of the file (0 there).
  virtual CPzError Read(char* buffer, unsigned long long capacity,
                        unsigned long long& bytesRead) = 0;
  // Moves the position `bytes` forward without reading them (blocks the
  // service already holds). Moving past the end is not an error; the next
  // Read then finds the end.
  virtual CPzError Skip(unsigned long long bytes) = 0;
  // With `drop` set, each Read asks the system to drop the file's cached
  // pages of the bytes it just read (they are in the caller's buffer by
  // then), so a large upload leaves the host's page cache as it found it.
  // Off when the file is opened. A file with no pages of its own ignores it.
  virtual void DropPagesAfterRead(bool drop) { (void)drop; }
};

// Opens `path` for reading through the environment in use
// (Env::Current()->OpenSequentialFile). Null with `error` set when it cannot
// be opened.
std::unique_ptr<SequentialFile> OpenSequentialFile(const std::string& path, CPzError& error);

// The machine's files: a regular file (or a symlink to one); a FIFO, device
// or directory is refused without blocking. Null with `error` set when it
// cannot be opened.
std::unique_ptr<SequentialFile> OpenPosixSequentialFile(const std::string& path, CPzError& error);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_SEQUENTIAL_FILE_H
