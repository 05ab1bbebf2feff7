#include "regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zutool {

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

int OpenRegularFile(const std::string& path, const std::string& what, struct stat& st,
                    std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (fstat(fd, &st) != 0) {
    error = "cannot read " + what + " " + path + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    error = what + " " + path + " is " + FileKind(st.st_mode);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace zutool
