// The key file's checks: one descriptor, checked with fstat, read to the
// end. See KeyFile.h for the rules.
#include "platform/crypto/KeyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/crypto/SecretBuffer.h"

namespace zu {
namespace {

// Why the file could not be opened, from open(2)'s errno.
std::string OpenFailure(int error) {
  switch (error) {
    case ENOENT:
      return "the key file does not exist";
    case ELOOP:
      return "the key file is a symbolic link; name the file itself";
    case EACCES:
      return "the key file cannot be read by this user";
    default:
      return std::string("the key file cannot be opened (") + std::strerror(error) + ")";
  }
}

// Why the opened file `fd` may not be used, or "" when it may.
std::string CheckOpenedFile(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return "the key file's status cannot be read";
  if (!S_ISREG(st.st_mode)) return "the key file is not a regular file";
  if (st.st_uid != ::geteuid()) return "the key file belongs to another user";
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("the key file may be read or written by group or others (mode ") + mode +
           "); make it 0600";
  }
  if (static_cast<unsigned long long>(st.st_size) > kMaxKeyFileBytes) {
    return "the key file is larger than " + std::to_string(kMaxKeyFileBytes) + " bytes";
  }
  return std::string();
}

// Reads all of `fd` into `text`, at most kMaxKeyFileBytes (the file may
// have grown since it was checked), `used` the bytes read. "" on success,
// else the reason.
std::string ReadWhole(int fd, SecretBuffer& text, size_t& used) {
  text = SecretBuffer(kMaxKeyFileBytes + 1);
  used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd, text.chars() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("the key file cannot be read (") + std::strerror(errno) + ")";
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  if (used > kMaxKeyFileBytes) {
    return "the key file is larger than " + std::to_string(kMaxKeyFileBytes) + " bytes";
  }
  return std::string();
}

}  // namespace

bool LoadKeyEncryptionKey(const std::string& path, KeyEncryptionKey& kek, std::string& reason) {
  kek.kid.clear();
  kek.key.Wipe();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    reason = OpenFailure(errno);
    return false;
  }
  SecretBuffer text;  // wiped when released
  size_t used = 0;
  reason = CheckOpenedFile(fd);
  if (reason.empty()) reason = ReadWhole(fd, text, used);
  ::close(fd);
  return reason.empty() && ParseKeyEncryptionKey(text.chars(), used, kek, reason);
}

std::string KeyFileRefusal(const std::string& reason) {
  return std::string("The key file named by the setting ") + kKeyFileSetting +
         " cannot be used: " + reason + ".";
}

}  // namespace zu
