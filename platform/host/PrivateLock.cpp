// Locks on private files, with open file description locks. See
// PrivateLock.h.
#include "platform/host/PrivateLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/host/FXFile.h"
#include "platform/text/Decimal.h"

namespace zu {
namespace {

// A taker that keeps finding the file removed under it gives up after so
// many tries (each one means a holder released the lock meanwhile).
constexpr int kTakeAttempts = 16;
// A holder writes its id right after it takes the lock: a taker refused
// in between reads again a few times before it calls the holder unknown.
constexpr int kHolderReads = 5;
constexpr std::chrono::milliseconds kHolderReadPause(10);

// Tries the lock on `fd`: 1 taken, 0 held by another, -1 failed (errno).
int TryLock(int fd) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 0;  // the whole file, however long
  if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return 1;
  return errno == EAGAIN || errno == EACCES ? 0 : -1;
}

// The process id the holder wrote into the file, 0 when there is none yet.
long ReadHolder(int fd) {
  for (int read = 0; read < kHolderReads; ++read) {
    if (read > 0) std::this_thread::sleep_for(kHolderReadPause);
    char text[32];
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    if (got <= 1 || text[got - 1] != '\n') continue;
    unsigned long long pid = 0;
    if (ParseDecimal(std::string(text, static_cast<size_t>(got - 1)), 0x7fffffffULL, pid) &&
        pid > 0) {
      return static_cast<long>(pid);
    }
  }
  return 0;
}

// True when `fd` is still the file named `name` in the folder `dirFd`.
bool StillNamed(int dirFd, const std::string& name, int fd) {
  struct stat open;
  struct stat named;
  return ::fstat(fd, &open) == 0 &&
         ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace

PrivateLock::Result PrivateLock::Take(const PrivateDirectory& dir, const std::string& name,
                                      std::unique_ptr<PrivateLock>& lock, long& holder,
                                      std::string& problem) {
  lock.reset();
  holder = 0;
  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    int error = 0;
    const char* refusal = nullptr;
    const int fd = OpenPrivateFile(dir.descriptor(), name, O_RDWR, true, error, refusal);
    if (fd < 0) {
      problem = refusal != nullptr ? refusal : PosixError(error, "open").Message();
      return Result::kFailed;
    }
    const int locked = TryLock(fd);
    if (locked == 0) {
      holder = ReadHolder(fd);
      ::close(fd);
      return Result::kHeld;
    }
    if (locked < 0) {
      problem = PosixError(errno, "lock").Message();
      ::close(fd);
      return Result::kFailed;
    }
    // Its holder removed it between the open and the lock: nobody else
    // will open this one.
    if (!StillNamed(dir.descriptor(), name, fd)) {
      ::close(fd);
      continue;
    }
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    const int dirFd = ::fcntl(dir.descriptor(), F_DUPFD_CLOEXEC, 0);
    if (dirFd < 0 || ::ftruncate(fd, 0) != 0 || !WriteAll(fd, pid)) {
      problem = PosixError(errno, dirFd < 0 ? "dup" : "write").Message();
      if (dirFd >= 0) ::close(dirFd);
      ::unlinkat(dir.descriptor(), name.c_str(), 0);
      ::close(fd);
      return Result::kFailed;
    }
    lock.reset(new PrivateLock(dirFd, name, fd));
    return Result::kTaken;
  }
  problem = "it was removed and made again " + std::to_string(kTakeAttempts) + " times in a row";
  return Result::kFailed;
}

PrivateLock::~PrivateLock() {
  // Removed while still locked: a taker that opened it meanwhile finds it
  // unnamed once it gets the lock.
  ::unlinkat(m_dirFd, m_name.c_str(), 0);
  ::close(m_fd);
  ::close(m_dirFd);
}

}  // namespace zu
