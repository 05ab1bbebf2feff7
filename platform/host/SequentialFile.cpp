// Sequential reads on POSIX descriptors.
#include "platform/host/SequentialFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/host/Env.h"

namespace zu {
namespace {

long long Nanoseconds(const struct timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

class PosixSequentialFile : public SequentialFile {
 public:
  PosixSequentialFile(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
  ~PosixSequentialFile() override { ::close(m_fd); }
  PosixSequentialFile(const PosixSequentialFile&) = delete;
  PosixSequentialFile& operator=(const PosixSequentialFile&) = delete;

  CPzError Identity(FileIdentity& identity) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return PosixError(errno, "fstat '" + m_path + "'");
    identity.device = static_cast<unsigned long long>(st.st_dev);
    identity.inode = static_cast<unsigned long long>(st.st_ino);
    identity.size = static_cast<unsigned long long>(st.st_size);
    identity.modifiedNs = Nanoseconds(st.st_mtim);
    identity.changedNs = Nanoseconds(st.st_ctim);
    return CPzError();
  }

  CPzError Read(char* buffer, unsigned long long capacity, unsigned long long& bytesRead) override {
    bytesRead = 0;
    // read() moves at most about 2 GiB per call on Linux; loop until the
    // buffer is full or the file ends.
    while (bytesRead < capacity) {
      const unsigned long long want = capacity - bytesRead;
      const size_t step = want > (1ULL << 30) ? (1U << 30) : static_cast<size_t>(want);
      const ssize_t got = ::read(m_fd, buffer + bytesRead, step);
      if (got < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        DropReadPages(bytesRead, false);
        return PosixError(error, "read '" + m_path + "'");
      }
      if (got == 0) break;
      bytesRead += static_cast<unsigned long long>(got);
    }
    DropReadPages(bytesRead, bytesRead < capacity);
    return CPzError();
  }

  CPzError Skip(unsigned long long bytes) override {
    if (bytes > static_cast<unsigned long long>(INT64_MAX) ||
        ::lseek(m_fd, static_cast<off_t>(bytes), SEEK_CUR) < 0) {
      return PosixError(bytes > static_cast<unsigned long long>(INT64_MAX) ? EINVAL : errno,
                        "lseek '" + m_path + "'");
    }
    m_position += bytes;
    m_runStart = m_position - m_position % kLargestCacheBlock;
    return CPzError();
  }

  void DropPagesAfterRead(bool drop) override { m_dropPages = drop; }

 private:
  // Drops the cached pages of the `length` bytes just read from m_position
  // and moves m_position past them. The system caches a file in blocks of
  // pages (folios, up to 2 MiB on common machines) and drops only those a
  // range covers whole, so each drop covers all that was read since the
  // open or the last Skip, from a 2 MiB boundary: a block the previous read
  // ended in goes once a read covers its end, and the part dropped before
  // costs the system next to nothing. At the end of the file (`atEnd`) the
  // range runs to the end, taking the last block. Pages the system read
  // ahead stay for the next read. A refusal (a file system without the
  // call) changes nothing for the upload and is ignored.
  void DropReadPages(unsigned long long length, bool atEnd) {
    const unsigned long long end = m_position + length;
    m_position = end;
    if (!m_dropPages || (length == 0 && !atEnd)) return;
    if (end > static_cast<unsigned long long>(INT64_MAX)) return;
    const off_t span = atEnd ? 0 : static_cast<off_t>(end - m_runStart);
    (void)::posix_fadvise(m_fd, static_cast<off_t>(m_runStart), span, POSIX_FADV_DONTNEED);
  }

  static constexpr unsigned long long kLargestCacheBlock = 2ULL << 20;
  int m_fd;
  std::string m_path;
  unsigned long long m_position = 0;  // the descriptor's offset
  // Where the reads since the open or the last Skip began, rounded down to
  // kLargestCacheBlock.
  unsigned long long m_runStart = 0;
  bool m_dropPages = false;
};

}  // namespace

std::unique_ptr<SequentialFile> OpenSequentialFile(const std::string& path, CPzError& error) {
  return Env::Current()->OpenSequentialFile(path, error);
}

std::unique_ptr<SequentialFile> OpenPosixSequentialFile(const std::string& path, CPzError& error) {
  error = CPzError();
  // O_NONBLOCK keeps open() from hanging on a FIFO, which is refused below;
  // it changes nothing for a regular file, so it is cleared again.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = PosixError(errno, "open '" + path + "'");
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = PosixError(errno, "fstat '" + path + "'");
    ::close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    error = PosixError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL,
                       "open '" + path + "': not a regular file");
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  // The file is read once from front to back.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<PosixSequentialFile>(fd, path);
}

}  // namespace zu
