#include "platform/host/FXFile.h"

#include <sys/stat.h>

#include <cstring>

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the message, not necessarily in `buf`.
  const char* text = strerror_r(err, buf, sizeof(buf));
  return text != nullptr ? text : "unknown error";
}

CPzError PosixError(int err, const std::string& what) {
  return CPzError(err, what + ": " + ErrnoText(err) + " (errno " + std::to_string(err) + ")");
}

bool FXFile::DoesFileExist(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
