// The service log, "ZUCloudService.log".
//
// Directory: ZUCLOUD_LOG_DIR, default /var/log/zucloud (created when
// missing, file mode 0600). One line per call: UTC timestamp with
// milliseconds, process id, thread id, level, tag (tagged style), text.
// Lines from many threads never interleave. When the log cannot be opened
// nothing is written and nothing fails; when it cannot be opened or written
// one line on stderr names its path and the reason (once per path and
// process).
//
// Two styles: tagged (Error, Debug, DebugLvl; the tag names the operation)
// and untagged (error, debug, debugLvl; the text carries its own source
// position). Debug lines are written when their level is at most
// ZUCLOUD_LOG_LEVEL (default 3); error lines always.
//
// Every line passes through zu::RedactLogText: registered secrets (session
// tokens, the Base64 password) are replaced and the value of every "sig="
// query parameter reads REDACTED. A text argument above 4 KiB (a server's
// reply) is cut to 4 KiB with a note of its full length.
//
// The file is opened without following a symbolic link; it must be a
// regular file owned by the process's user with no other hard link, and its
// mode is set to 0600. Any other file is refused with one line on stderr and
// nothing is logged.
//
// The file is capped by size: a line that would take it past the cap (16 MiB,
// or ZUCLOUD_LOG_MAX_BYTES, a whole number of bytes of at least 1024) first
// renames it to "ZUCloudService.log.1", replacing the previous one, and
// starts a new file. The log thus never holds much more than twice the cap.
//
// Formats are printf-style: %s narrow (UTF-8), %ls wide, %d %u %ld %lu %lld
// %llu %x %c %p %%, with flags and widths for numbers.
#ifndef ZUCLOUD_PLATFORM_EV_DEBUG_H
#define ZUCLOUD_PLATFORM_EV_DEBUG_H

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <string>

#include "platform/threads/ZuSync.h"

#define ZU_PRINTF_LIKE(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

// The open log file of one service object.
class EvDebugFileInstance {
 public:
  EvDebugFileInstance() = default;
  ~EvDebugFileInstance();
  EvDebugFileInstance(const EvDebugFileInstance&) = delete;
  EvDebugFileInstance& operator=(const EvDebugFileInstance&) = delete;

  // Opens (appending, creating with mode 0600) `path`; 0 on success. A
  // symbolic link, a file that is not regular, has another hard link or
  // belongs to another user, or one whose mode cannot be made 0600 is
  // refused (one stderr line).
  int open(const std::string& path);
  bool isOpen() const { return m_fd >= 0; }
  // Appends one whole line (a line feed is added), first moving a full file
  // to "<path>.1".
  void writeLine(const std::string& line);
  std::string path() const;

 private:
  void rotateIfFull(size_t adding) REQUIRES(m_mutex);
  void reopenAfterRotation() REQUIRES(m_mutex);
  mutable zu::Mutex m_mutex;  // serialises writes with the rotation
  std::atomic<int> m_fd{-1};  // changed under m_mutex, read without it
  unsigned long long m_maxBytes GUARDED_BY(m_mutex) = 0;
  // Set when the log could not be opened again after a rotation: the next
  // line tries again. Changed under m_mutex, read without it.
  std::atomic<bool> m_reopenPending{false};
  std::string m_path GUARDED_BY(m_mutex);
};

class EvDebug {
 public:
  // Log identifier that selects "ZUCloudService.log".
  static constexpr unsigned int kZuCloudLogId = 1739883228u;

  explicit EvDebug(EvDebugFileInstance* instance);

  // Opens the log selected by `logId` through `instance`; 0 on success.
  // Logging before a successful initialize writes nothing.
  int initialize(EvDebugFileInstance* instance, unsigned int logId, long long reserved, bool flag,
                 const std::string& name);

  void Error(const char* tag, const char* format, ...) ZU_PRINTF_LIKE(3, 4);
  void Debug(const char* tag, const char* format, ...) ZU_PRINTF_LIKE(3, 4);
  void DebugLvl(int level, const char* tag, const char* format, ...) ZU_PRINTF_LIKE(4, 5);
  void error(const char* format, ...) ZU_PRINTF_LIKE(2, 3);
  void debug(const char* format, ...) ZU_PRINTF_LIKE(2, 3);
  void debugLvl(int level, const char* format, ...) ZU_PRINTF_LIKE(3, 4);

  // Level of EvDebug::Debug and EvDebug::debug lines.
  static constexpr int kDebugLevel = 1;

 private:
  void write(const char* level, const char* tag, int debugLevel, const char* format, va_list args);
  EvDebugFileInstance* m_instance;
};

namespace zu {

// printf-style formatting with the conversions listed above; %ls arguments
// are written as UTF-8.
std::string FormatLogText(const char* format, va_list args);
std::string FormatLogText(const char* format, ...) ZU_PRINTF_LIKE(1, 2);

// Registers a value that must never reach the log. Process-wide; keeps the
// most recent few hundred values. Empty values are ignored.
void RegisterLogSecret(const std::string& secret);
// Applies the redaction rules to one line of text.
std::string RedactLogText(const std::string& text);
// Length of the longest form of a registered secret (0 when none).
size_t LongestLogSecretForm();

// Directory of the log: ZUCLOUD_LOG_DIR or /var/log/zucloud.
std::string LogDirectory();

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_EV_DEBUG_H
