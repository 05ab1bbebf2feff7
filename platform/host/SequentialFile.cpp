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
        return PosixError(errno, "read '" + m_path + "'");
      }
      if (got == 0) break;
      bytesRead += static_cast<unsigned long long>(got);
    }
    return CPzError();
  }

  CPzError Skip(unsigned long long bytes) override {
    if (bytes > static_cast<unsigned long long>(INT64_MAX) ||
        ::lseek(m_fd, static_cast<off_t>(bytes), SEEK_CUR) < 0) {
      return PosixError(bytes > static_cast<unsigned long long>(INT64_MAX) ? EINVAL : errno,
                        "lseek '" + m_path + "'");
    }
    return CPzError();
  }

 private:
  int m_fd;
  std::string m_path;
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
