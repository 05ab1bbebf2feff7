// File existence, and the error of a failed file operation as the host's
// file calls report it: errno and a message that names the call and the
// path.
#ifndef ZUCLOUD_PLATFORM_FX_FILE_H
#define ZUCLOUD_PLATFORM_FX_FILE_H

#include <string>
#include <utility>

class FXFile {
 public:
  // True for an existing regular file (or a symlink to one).
  static bool DoesFileExist(const std::string& path);
};

// Result of a file operation.
class CPzError {
 public:
  CPzError() = default;
  CPzError(int code, std::string message) : m_code(code), m_message(std::move(message)) {}
  bool IsError() const { return m_code != 0; }
  int Code() const { return m_code; }  // errno of the failure, 0 = none
  const std::string& Message() const { return m_message; }

 private:
  int m_code = 0;
  std::string m_message;
};

// The system's words for errno `err` ("No such file or directory").
std::string ErrnoText(int err);

// The error of a failed POSIX call: errno `err` with the call and path in
// `what` ("open '/x'"), as "open '/x': No such file or directory (errno 2)".
CPzError PosixError(int err, const std::string& what);

#endif  // ZUCLOUD_PLATFORM_FX_FILE_H
