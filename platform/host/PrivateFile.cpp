// Private files and folders on POSIX calls. See PrivateFile.h for the rules.
#include "platform/host/PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host/FXFile.h"

namespace zu {
namespace {

constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

// Why the open object `fd` may not be used, or null when it may; forces
// `mode` on it.
const char* CheckOwnedObject(int fd, bool directory, mode_t mode) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "its status cannot be read";
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    return directory ? "it is not a directory" : "it is not a regular file";
  }
  // Another name of the same file could be anywhere the planter chose: the
  // file would be written and its mode changed through this one.
  if (!directory && st.st_nlink != 1) return "it has more than one hard link";
  if (st.st_uid != ::geteuid()) return "it belongs to another user";
  if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
    return directory ? "its mode cannot be set to 0700" : "its mode cannot be set to 0600";
  }
  return nullptr;
}

}  // namespace

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void MakeDirectories(const std::string& dir, unsigned int mode) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const std::string part = dir.substr(0, pos);
      if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return;
    }
  }
}

int OpenPrivateFile(int dirFd, const std::string& name, int access, bool create, int& error,
                    const char*& refusal) {
  error = 0;
  refusal = nullptr;
  // O_NONBLOCK: a FIFO at the name must not hang the open; it is refused
  // below and cleared again for the regular file.
  const int flags = access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = -1;
  if (create) {
    fd = ::openat(dirFd, name.c_str(), flags | O_CREAT | O_EXCL, kFileMode);
    if (fd < 0 && errno == EEXIST) fd = ::openat(dirFd, name.c_str(), flags);
  } else {
    fd = ::openat(dirFd, name.c_str(), flags);
  }
  if (fd < 0) {
    error = errno;
    if (error == ELOOP) refusal = "it is a symbolic link";
    if (error == ENXIO || error == EISDIR) refusal = "it is not a regular file";
    return -1;
  }
  refusal = CheckOwnedObject(fd, false, kFileMode);
  if (refusal == nullptr) {
    const int current = ::fcntl(fd, F_GETFL);
    if (current == -1 || ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK) == -1) {
      refusal = "its flags cannot be set";
    }
  }
  if (refusal != nullptr) {
    ::close(fd);
    error = EPERM;
    return -1;
  }
  return fd;
}

std::unique_ptr<PrivateDirectory> PrivateDirectory::Open(const std::string& path,
                                                         std::string& problem) {
  if (path.empty()) {
    problem = "no folder given";
    return nullptr;
  }
  MakeDirectories(path, kDirectoryMode);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      problem = "it is a symbolic link";
    } else if (err == ENOTDIR) {
      problem = "it is not a directory";
    } else {
      problem = PosixError(err, "open").Message();
    }
    return nullptr;
  }
  if (const char* refusal = CheckOwnedObject(fd, true, kDirectoryMode)) {
    ::close(fd);
    problem = refusal;
    return nullptr;
  }
  return std::unique_ptr<PrivateDirectory>(new PrivateDirectory(fd, path));
}

PrivateDirectory::~PrivateDirectory() { ::close(m_fd); }

PrivateDirectory::ReadResult PrivateDirectory::Read(const std::string& name, size_t maxBytes,
                                                    std::string& content,
                                                    std::string& problem) const {
  content.clear();
  int error = 0;
  const char* refusal = nullptr;
  const int fd = OpenPrivateFile(m_fd, name, O_RDONLY, false, error, refusal);
  if (fd < 0) {
    if (error == ENOENT) return ReadResult::kMissing;
    problem = refusal != nullptr ? refusal : PosixError(error, "open").Message();
    return ReadResult::kFailed;
  }
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      problem = PosixError(errno, "read").Message();
      ::close(fd);
      return ReadResult::kFailed;
    }
    if (got == 0) break;
    if (content.size() + static_cast<size_t>(got) > maxBytes) {
      problem = "it is larger than " + std::to_string(maxBytes) + " bytes";
      ::close(fd);
      return ReadResult::kFailed;
    }
    content.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return ReadResult::kRead;
}

bool PrivateDirectory::Replace(const std::string& name, const std::string& content,
                               std::string& problem) const {
  const std::string temporary = name + ".new";
  ::unlinkat(m_fd, temporary.c_str(), 0);  // left over by a process that stopped
  int error = 0;
  const char* refusal = nullptr;
  const int fd = OpenPrivateFile(m_fd, temporary, O_WRONLY, true, error, refusal);
  if (fd < 0) {
    problem = refusal != nullptr ? refusal : PosixError(error, "create").Message();
    return false;
  }
  bool ok = ::ftruncate(fd, 0) == 0 && WriteAll(fd, content);
  if (!ok) problem = PosixError(errno, "write").Message();
  if (::close(fd) != 0 && ok) {
    ok = false;
    problem = PosixError(errno, "close").Message();
  }
  if (ok && ::renameat(m_fd, temporary.c_str(), m_fd, name.c_str()) != 0) {
    ok = false;
    problem = PosixError(errno, "rename").Message();
  }
  if (!ok) ::unlinkat(m_fd, temporary.c_str(), 0);
  return ok;
}

std::unique_ptr<AppendFile> PrivateDirectory::OpenForAppend(const std::string& name,
                                                            std::string& problem) const {
  int error = 0;
  const char* refusal = nullptr;
  const int fd = OpenPrivateFile(m_fd, name, O_WRONLY | O_APPEND, false, error, refusal);
  if (fd < 0) {
    problem = refusal != nullptr ? refusal : PosixError(error, "open").Message();
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    problem = PosixError(errno, "fstat").Message();
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<AppendFile>(fd, static_cast<unsigned long long>(st.st_size));
}

AppendFile::~AppendFile() { ::close(m_fd); }

bool AppendFile::Append(const std::string& text, std::string& problem) {
  if (WriteAll(m_fd, text)) {
    m_size += text.size();
    return true;
  }
  problem = PosixError(errno, "write").Message();
  if (::ftruncate(m_fd, static_cast<off_t>(m_size)) != 0) {
    problem += "; the part written could not be cut off";
  }
  return false;
}

bool PrivateDirectory::Remove(const std::string& name) const {
  return ::unlinkat(m_fd, name.c_str(), 0) == 0 || errno == ENOENT;
}

}  // namespace zu
