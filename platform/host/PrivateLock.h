// An exclusive lock on a file of a private folder (PrivateFile.h), held for
// as long as its object lives.
//
// The lock is an open file description lock (F_OFD_SETLK) on the whole
// file: another process, or another open of the same file in this one,
// cannot take it while it is held, and the kernel drops it when the holder
// ends, however it ends (a killed process leaves no stale lock behind). The
// holder writes its process id into the file, so that whoever is refused
// can say who holds it. Releasing removes the file, then drops the lock; a
// taker that locked the file just as it was removed sees that it no longer
// bears the name and tries again with a new one.
#ifndef ZUCLOUD_PLATFORM_PRIVATE_LOCK_H
#define ZUCLOUD_PLATFORM_PRIVATE_LOCK_H

#include <memory>
#include <string>

#include "platform/host/PrivateFile.h"

namespace zu {

class PrivateLock {
 public:
  enum class Result {
    kTaken,   // `lock` holds it
    kHeld,    // another holds it: `holder` is its process id, 0 when unknown
    kFailed,  // it cannot be taken: `problem` says why (no path in it)
  };
  // Takes the lock of the file `name` in `dir` (created, mode 0600, when
  // missing) without waiting. `lock` does not need `dir` to live on.
  static Result Take(const PrivateDirectory& dir, const std::string& name,
                     std::unique_ptr<PrivateLock>& lock, long& holder, std::string& problem);
  ~PrivateLock();
  PrivateLock(const PrivateLock&) = delete;
  PrivateLock& operator=(const PrivateLock&) = delete;

 private:
  PrivateLock(int dirFd, std::string name, int fd)
      : m_dirFd(dirFd), m_name(std::move(name)), m_fd(fd) {}
  const int m_dirFd;  // a descriptor of its own for the folder
  const std::string m_name;
  const int m_fd;
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PRIVATE_LOCK_H
