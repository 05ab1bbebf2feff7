// Files and folders only this process's user may touch: the log file and
// the resume journals in the state folder.
//
// The rules, the same for every such file: the last path component is
// never followed when it is a symbolic link (one planted there could point
// the library at a system file), the object must be a regular file (or, for
// a folder, a directory) owned by the effective user, a file has no other
// hard link, and its mode is forced to 0600 (0700 for a folder). New files
// are created exclusively, so they get that mode whatever the umask.
// Anything else is refused with a short reason that names no path.
#ifndef ZUCLOUD_PLATFORM_PRIVATE_FILE_H
#define ZUCLOUD_PLATFORM_PRIVATE_FILE_H

#include <memory>
#include <string>

namespace zu {

// Creates `dir` and its missing parents with `mode`; folders that exist
// are left as they are (whoever uses the last one checks it).
void MakeDirectories(const std::string& dir, unsigned int mode);

// Opens `name` relative to the directory descriptor `dirFd` (AT_FDCWD for
// a plain path) with `access` (O_RDONLY, O_WRONLY, O_APPEND...; close-on-exec
// is added), creating it with mode 0600 when `create` is true and it is
// missing. Returns the descriptor, or -1 with `error` set to the errno of
// the failure (EPERM for a refused file) and `refusal` to the reason when the
// file exists but breaks the rules ("it is a symbolic link", "it belongs to
// another user", ...); `refusal` stays null for an ordinary failure such as
// a missing file or a missing permission.
int OpenPrivateFile(int dirFd, const std::string& name, int access, bool create, int& error,
                    const char*& refusal);

// Writes all of `text` to `fd`, going on after an interrupted write; false
// on an error (errno set).
bool WriteAll(int fd, const std::string& text);

// A private file open for appending whole lines.
class AppendFile {
 public:
  // Owns `fd`, whose file holds `size` bytes.
  AppendFile(int fd, unsigned long long size) : m_fd(fd), m_size(size) {}
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Appends `text` (one write(2) for a short line). On failure the file is
  // cut back to its length before the call, so it never ends in part of
  // `text`, and false comes back with `problem` set.
  bool Append(const std::string& text, std::string& problem);

 private:
  int m_fd;
  unsigned long long m_size;
};

// A folder of this process's user, mode 0700, held open by descriptor so
// that every file in it is reached through the folder that was checked.
class PrivateDirectory {
 public:
  // Opens `path`, creating it (and its missing parents, 0700) when missing.
  // Null with `problem` set when it cannot be made or breaks the rules.
  static std::unique_ptr<PrivateDirectory> Open(const std::string& path, std::string& problem);
  ~PrivateDirectory();
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;

  const std::string& path() const { return m_path; }
  // The folder's descriptor, for what opens its files elsewhere
  // (PrivateLock.h); owned by this object.
  int descriptor() const { return m_fd; }

  enum class ReadResult { kRead, kMissing, kFailed };
  // Reads the whole file `name` (at most `maxBytes`; a larger file fails).
  ReadResult Read(const std::string& name, size_t maxBytes, std::string& content,
                  std::string& problem) const;
  // Makes `content` the file `name`: written to a new file beside it, then
  // renamed over it, so a reader sees the old or the new file, never half.
  bool Replace(const std::string& name, const std::string& content, std::string& problem) const;
  // Opens the existing file `name` for appending; null with `problem` set
  // on failure.
  std::unique_ptr<AppendFile> OpenForAppend(const std::string& name, std::string& problem) const;
  // Removes `name`; true when it is gone (also when it never existed).
  bool Remove(const std::string& name) const;

 private:
  PrivateDirectory(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
  int m_fd;
  std::string m_path;
};

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_PRIVATE_FILE_H
