// File existence and size on POSIX calls.
#include "platform/host/FXFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the message, not necessarily in `buf`.
  const char* text = strerror_r(err, buf, sizeof(buf));
  return text != nullptr ? text : "unknown error";
}

}  // namespace

CPzError PosixError(int err, const std::string& what) {
  return CPzError(err, what + ": " + ErrnoText(err) + " (errno " + std::to_string(err) + ")");
}

bool FXFile::DoesFileExist(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

CPzFile::~CPzFile() { Close(); }

CPzError CPzFile::Open(const std::string& path, int /*mode*/, int /*share*/) {
  Close();
  // O_NONBLOCK keeps open() from hanging on a FIFO; such files are refused
  // below anyway and it has no effect on regular files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return PosixError(errno, "open '" + path + "'");
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return PosixError(err, "fstat '" + path + "'");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return PosixError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL,
                      "open '" + path + "': not a regular file");
  }
  m_fd = fd;
  return CPzError();
}

CPzError CPzFile::Size(unsigned long long& size) {
  if (m_fd < 0) return PosixError(EBADF, "size of a file that is not open");
  struct stat st;
  if (::fstat(m_fd, &st) != 0) return PosixError(errno, "fstat");
  size = static_cast<unsigned long long>(st.st_size);
  return CPzError();
}

CPzError CPzFile::Close() {
  if (m_fd < 0) return CPzError();
  const int fd = m_fd;
  m_fd = -1;
  // On Linux the descriptor is released even when close() reports EINTR, so
  // it is never retried.
  if (::close(fd) != 0) return PosixError(errno, "close");
  return CPzError();
}
