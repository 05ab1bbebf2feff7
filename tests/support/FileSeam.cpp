#include "support/FileSeam.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

namespace zutest {
namespace {

// A local file read with plain POSIX calls (the factory cannot reach the
// library's own opener), whose reads fail once they would pass `failFrom`.
class FailingFile : public zu::SequentialFile {
 public:
  FailingFile(int fd, std::string path, unsigned long long failFrom, std::atomic<int>& failures)
      : m_fd(fd), m_path(std::move(path)), m_failFrom(failFrom), m_failures(failures) {}
  ~FailingFile() override { ::close(m_fd); }

  CPzError Identity(zu::FileIdentity& identity) override {
    struct stat st;
    if (::fstat(m_fd, &st) != 0) return PosixError(errno, "fstat '" + m_path + "'");
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = static_cast<unsigned long long>(st.st_size);
    identity.modifiedNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    identity.changedNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    return CPzError();
  }

  CPzError Read(char* buffer, unsigned long long capacity, unsigned long long& bytesRead) override {
    bytesRead = 0;
    if (m_position + capacity > m_failFrom) {
      ++m_failures;
      return PosixError(EIO, "read '" + m_path + "'");
    }
    while (bytesRead < capacity) {
      const ssize_t got = ::read(m_fd, buffer + bytesRead, capacity - bytesRead);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return PosixError(errno, "read '" + m_path + "'");
      if (got == 0) break;
      bytesRead += static_cast<unsigned long long>(got);
    }
    m_position += bytesRead;
    return CPzError();
  }

  CPzError Skip(unsigned long long bytes) override {
    if (::lseek(m_fd, static_cast<off_t>(bytes), SEEK_CUR) < 0) {
      return PosixError(errno, "lseek '" + m_path + "'");
    }
    m_position += bytes;
    return CPzError();
  }

 private:
  int m_fd;
  std::string m_path;
  unsigned long long m_failFrom;
  std::atomic<int>& m_failures;
  unsigned long long m_position = 0;
};

EnvChange ReadFailureChange(unsigned long long failFrom, std::atomic<int>& failedReads) {
  EnvChange change;
  change.openFile = [failFrom, &failedReads](
                        const std::string& path,
                        CPzError& error) -> std::unique_ptr<zu::SequentialFile> {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = PosixError(errno, "open '" + path + "'");
      return nullptr;
    }
    error = CPzError();
    return std::make_unique<FailingFile>(fd, path, failFrom, failedReads);
  };
  return change;
}

}  // namespace

ScopedReadFailure::ScopedReadFailure(unsigned long long failFrom)
    : m_change(ReadFailureChange(failFrom, m_failedReads)) {}

}  // namespace zutest
