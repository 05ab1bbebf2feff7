// The service log. See EvDebug.h for the line layout and the level rules.
//
// Choices made here:
//  - ZUCLOUD_LOG_LEVEL is read on every debug call (not cached), so a change
//    takes effect at once; an unparsable value counts as the default 3.
//  - Every line is composed in memory and appended with one write(2) on a
//    descriptor opened with O_APPEND. The kernel positions each such write at
//    the end of the file atomically, so lines from different threads, or
//    from several EvDebug objects and processes sharing the file, never mix.
//  - A line feed or carriage return inside the text is written as "\n" or
//    "\r" so that one call always yields exactly one line.
//  - The text is formatted by zu::FormatLogText (LogFormat.cpp).
//  - The log file must be a regular file of the process's user; it is
//    opened without following a symbolic link and its mode is forced to
//    0600. A file that fails this is refused with one line on stderr and the
//    log goes nowhere.
//  - A log that cannot be opened (a folder that is missing and cannot be
//    made, one this user may not write) or whose lines cannot be written (a
//    full disk) is named on stderr with the reason: one line per log path
//    and process, whatever the trouble and however often it recurs, so a
//    host's own stderr is not flooded.
//  - Redaction happens in RedactLogText, applied to the tag and text of every
//    line before it is written.
//  - The size cap is checked against the file itself (fstat) before each
//    line, so several processes appending to one log keep it bounded. Only
//    the process that finds the log still under its name renames it; the
//    others find a new file there and reopen. When the full file cannot be
//    renamed it is emptied instead: the cap holds either way.
#include "platform/log/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <set>
#include <vector>

#include "platform/host/Env.h"
#include "platform/host/PrivateFile.h"
#include "platform/text/Decimal.h"
#include "platform/text/PercentEncode.h"

namespace {

constexpr char kDefaultLogDir[] = "/var/log/zucloud";
constexpr char kZuCloudLogName[] = "ZUCloudService.log";
constexpr int kDefaultLogLevel = 3;
constexpr unsigned long long kDefaultLogMaxBytes = 16ULL * 1024 * 1024;
constexpr unsigned long long kSmallestLogMaxBytes = 1024;
// Debug level passed by the error calls: always written.
constexpr int kAlways = INT_MIN;

// ---------------------------------------------------------------------------
// Redaction

constexpr size_t kMaxSecrets = 256;
constexpr size_t kMinSecretLength = 4;
constexpr char kRedacted[] = "REDACTED";

struct SecretStore {
  zu::Mutex mutex;
  std::deque<std::string> secrets GUARDED_BY(mutex);  // oldest first
  // Every form to replace, longest first; rebuilt on registration and
  // swapped in under mutex so readers take a snapshot without copying.
  std::shared_ptr<const std::vector<std::string>> forms GUARDED_BY(mutex) =
      std::make_shared<const std::vector<std::string>>();
};

SecretStore& Secrets() {
  static SecretStore* store = new SecretStore();  // never destroyed: used by late log calls
  return *store;
}

void ReplaceAll(std::string& text, const std::string& needle) {
  if (needle.empty()) return;
  size_t pos = text.find(needle);
  while (pos != std::string::npos) {
    text.replace(pos, needle.size(), kRedacted);
    pos = text.find(needle, pos + sizeof(kRedacted) - 1);
  }
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `lowerNeedle` occurs in `text` at `pos`, ignoring ASCII case.
bool MatchAt(const std::string& text, size_t pos, const char* lowerNeedle) {
  const size_t n = std::strlen(lowerNeedle);
  if (pos + n > text.size()) return false;
  for (size_t i = 0; i < n; ++i) {
    if (AsciiLower(text[pos + i]) != lowerNeedle[i]) return false;
  }
  return true;
}

// Characters that end a query value in running text.
bool EndsValue(char c) {
  switch (c) {
    case '&':
    case ' ':
    case '\t':
    case '\r':
    case '\n':
    case '\'':
    case '"':
    case '<':
    case '>':
    case ']':
    case ')':
      return true;
    default:
      return false;
  }
}

// Replaces the value of every "sig=" parameter, and of every "sig%3D" one
// (a URL carried URL-encoded inside another, where "%26" separates values).
std::string RedactSignatures(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t nameLength = 0;
    bool encoded = false;
    if (MatchAt(text, i, "sig=")) {
      nameLength = 4;
    } else if (MatchAt(text, i, "sig%3d")) {
      nameLength = 6;
      encoded = true;
    }
    if (nameLength == 0) {
      out.push_back(text[i++]);
      continue;
    }
    out.append(text, i, nameLength);
    i += nameLength;
    size_t end = i;
    while (end < text.size() && !EndsValue(text[end]) &&
           !(encoded && (MatchAt(text, end, "%26") || MatchAt(text, end, "%20")))) {
      ++end;
    }
    if (end > i) out += kRedacted;
    i = end;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Line composition

int LogLevel() {
  const std::string text = zu::VariableOr("ZUCLOUD_LOG_LEVEL", "");
  if (text.empty()) return kDefaultLogLevel;
  long long value = 0;
  if (!zu::ParseSignedDecimal(text.c_str(), zu::Signs::kPlusOrMinus, LLONG_MIN, LLONG_MAX, value)) {
    return kDefaultLogLevel;
  }
  // A level past the range of int still says "everything" or "nothing".
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// ZUCLOUD_LOG_MAX_BYTES when it is a whole number of at least 1024, else
// the default cap.
unsigned long long LogMaxBytes() {
  const std::optional<std::string> text = zu::Env::Current()->Variable("ZUCLOUD_LOG_MAX_BYTES");
  unsigned long long value = 0;
  if (!text || !zu::ParseDecimal(text->c_str(), ~0ULL, value)) return kDefaultLogMaxBytes;
  return value < kSmallestLogMaxBytes ? kDefaultLogMaxBytes : value;
}

// "2026-12-07T20:04:39.123Z"
std::string Timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long>(now.tv_nsec / 1000000));
  return buf;
}

// Writes control line breaks visibly so one call stays one line; trailing
// line breaks are dropped.
void AppendOneLine(std::string& out, const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      out += "\\n";
    } else if (text[i] == '\r') {
      out += "\\r";
    } else {
      out.push_back(text[i]);
    }
  }
}

// Writes `line` (without its line feed) to stderr unless a line about the
// log file `path` was written before: an operator gets one line per log,
// however many service objects open it or lines fail.
struct ToldPaths {
  zu::Mutex mutex;
  std::set<std::string> paths GUARDED_BY(mutex);
};

void TellOperatorOnce(const std::string& path, const std::string& line) {
  static ToldPaths* told = new ToldPaths();  // never destroyed: used by late log calls
  {
    zu::MutexLock lock(told->mutex);
    if (!told->paths.insert(path).second) return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

// The one stderr line of a refused log file; nothing is logged after it.
void RefuseLogFile(const std::string& path, const char* reason) {
  TellOperatorOnce(
      path, "zucloud: log file " + path + " refused: " + reason + "; nothing will be logged");
}

// The one stderr line of a log file that cannot be opened (errno `error`).
void CannotOpenLogFile(const std::string& path, int error) {
  std::string reason = std::strerror(error);
  if (error == ENOENT) reason += " (its folder is missing and could not be made)";
  TellOperatorOnce(path, "zucloud: cannot open the log file " + path + ": " + reason +
                             "; nothing will be logged");
}

// The one stderr line of a log file that stopped taking lines (errno
// `error`: a full disk, a file size limit); later lines are still tried.
void CannotWriteLogFile(const std::string& path, int error) {
  TellOperatorOnce(path, "zucloud: cannot write the log file " + path + ": " +
                             std::strerror(error) + "; log lines are being lost");
}

}  // namespace

// ---------------------------------------------------------------------------
// EvDebugFileInstance

// open() and the destructor must not run while another thread writes through
// the same instance; the services open their log in init, before any worker
// thread exists.
EvDebugFileInstance::~EvDebugFileInstance() {
  if (m_fd >= 0) ::close(m_fd);
}

int EvDebugFileInstance::open(const std::string& path) {
  zu::MutexLock lock(m_mutex);
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
  }
  // The rules of platform/host/PrivateFile.h: no symbolic link, only a regular
  // file of this process's user, mode forced to 0600.
  int error = 0;
  const char* refusal = nullptr;
  const int fd = zu::OpenPrivateFile(AT_FDCWD, path, O_WRONLY | O_APPEND, true, error, refusal);
  if (fd < 0) {
    if (refusal != nullptr) {
      RefuseLogFile(path, refusal);
    } else {
      CannotOpenLogFile(path, error);
    }
    return error != 0 ? error : -1;
  }
  m_fd = fd;
  m_path = path;
  m_maxBytes = LogMaxBytes();
  return 0;
}

void EvDebugFileInstance::rotateIfFull(size_t adding) {
  struct stat current {};
  if (::fstat(m_fd, &current) != 0) return;
  const unsigned long long size = static_cast<unsigned long long>(current.st_size);
  if (size == 0 || size + adding <= m_maxBytes) return;
  struct stat named {};
  const bool stillNamed = ::lstat(m_path.c_str(), &named) == 0 && named.st_dev == current.st_dev &&
                          named.st_ino == current.st_ino;
  if (stillNamed && ::rename(m_path.c_str(), (m_path + ".1").c_str()) != 0) {
    const int emptied = ::ftruncate(m_fd, 0);
    static_cast<void>(emptied);
    return;
  }
  ::close(m_fd);
  m_fd = -1;
  reopenAfterRotation();
}

// The new file after a rotation. A failed open (no file
// descriptor left, say) is tried again by the next line, so a rotation
// never ends the log for good; a refused file (a link put in its place)
// ends it.
void EvDebugFileInstance::reopenAfterRotation() {
  int error = 0;
  const char* refusal = nullptr;
  const int fd = zu::OpenPrivateFile(AT_FDCWD, m_path, O_WRONLY | O_APPEND, true, error, refusal);
  m_reopenPending = fd < 0 && refusal == nullptr;
  if (fd < 0) {
    if (refusal != nullptr) RefuseLogFile(m_path, refusal);
    return;
  }
  m_fd = fd;
}

void EvDebugFileInstance::writeLine(const std::string& line) {
  if (m_fd < 0 && !m_reopenPending) return;
  std::string buf;
  buf.reserve(line.size() + 1);
  buf += line;
  buf.push_back('\n');
  zu::MutexLock lock(m_mutex);
  if (m_fd < 0 && m_reopenPending) reopenAfterRotation();
  if (m_fd < 0) return;
  rotateIfFull(buf.size());
  if (m_fd < 0) return;
  // The log is best effort: a failed line is dropped (the operator hears of
  // it once) and the next one is tried.
  if (!zu::WriteAll(m_fd, buf)) CannotWriteLogFile(m_path, errno);
}

std::string EvDebugFileInstance::path() const {
  zu::MutexLock lock(m_mutex);
  return m_path;
}

// ---------------------------------------------------------------------------
// EvDebug

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}

int EvDebug::initialize(EvDebugFileInstance* instance, unsigned int logId, long long /*reserved*/,
                        bool /*flag*/, const std::string& /*name*/) {
  if (instance != nullptr) m_instance = instance;
  if (m_instance == nullptr) return -1;
  try {
    const std::string dir = zu::LogDirectory();
    const std::string name = logId == kZuCloudLogId ? std::string(kZuCloudLogName)
                                                    : "EvDebug_" + std::to_string(logId) + ".log";
    const std::string path = dir + "/" + name;
    if (m_instance->isOpen() && m_instance->path() == path) return 0;
    zu::MakeDirectories(dir, 0750);
    return m_instance->open(path);
  } catch (...) {
    return -1;
  }
}

void EvDebug::write(const char* level, const char* tag, int debugLevel, const char* format,
                    va_list args) {
  if (m_instance == nullptr || !m_instance->isOpen()) return;
  if (debugLevel != kAlways && debugLevel > LogLevel()) return;
  try {
    std::string body;
    if (tag != nullptr) {
      body += '[';
      body += tag;
      body += "] ";
    }
    const std::string text = zu::FormatLogText(format, args);
    // The library words its warnings "Warning: ..." and writes them through
    // Error(): they are written at their own level, so that a reader (and a
    // filter on the level) can tell a warning from a failure.
    if (std::strcmp(level, "ERROR") == 0 && text.compare(0, 8, "Warning:") == 0) level = "WARN";
    body += text;
    body = zu::RedactLogText(body);

    char head[96];
    std::snprintf(head, sizeof(head), " pid=%ld tid=%ld ", static_cast<long>(::getpid()),
                  static_cast<long>(::syscall(SYS_gettid)));
    std::string line = Timestamp();
    line += head;
    line += level;
    line += ' ';
    AppendOneLine(line, body);
    m_instance->writeLine(line);
  } catch (...) {
    // Logging never fails its caller (only std::bad_alloc can get here).
  }
}

#define ZU_EVDEBUG_FORWARD(level, tag, debugLevel, format) \
  do {                                                     \
    va_list args;                                          \
    va_start(args, format);                                \
    write(level, tag, debugLevel, format, args);           \
    va_end(args);                                          \
  } while (0)

void EvDebug::Error(const char* tag, const char* format, ...) {
  ZU_EVDEBUG_FORWARD("ERROR", tag, kAlways, format);
}

void EvDebug::Debug(const char* tag, const char* format, ...) {
  ZU_EVDEBUG_FORWARD("DEBUG1", tag, kDebugLevel, format);
}

void EvDebug::DebugLvl(int level, const char* tag, const char* format, ...) {
  const std::string word = "DEBUG" + std::to_string(level);
  ZU_EVDEBUG_FORWARD(word.c_str(), tag, level, format);
}

void EvDebug::error(const char* format, ...) {
  ZU_EVDEBUG_FORWARD("ERROR", nullptr, kAlways, format);
}

void EvDebug::debug(const char* format, ...) {
  ZU_EVDEBUG_FORWARD("DEBUG1", nullptr, kDebugLevel, format);
}

void EvDebug::debugLvl(int level, const char* format, ...) {
  const std::string word = "DEBUG" + std::to_string(level);
  ZU_EVDEBUG_FORWARD(word.c_str(), nullptr, level, format);
}

#undef ZU_EVDEBUG_FORWARD

// ---------------------------------------------------------------------------
// zu:: helpers

namespace zu {

size_t LongestLogSecretForm() {
  SecretStore& store = Secrets();
  MutexLock lock(store.mutex);
  return store.forms->empty() ? 0 : store.forms->front().size();
}

void RegisterLogSecret(const std::string& secret) {
  if (secret.size() < kMinSecretLength) return;
  SecretStore& store = Secrets();
  MutexLock lock(store.mutex);
  // A value registered again becomes the most recent one.
  auto old = std::find(store.secrets.begin(), store.secrets.end(), secret);
  if (old != store.secrets.end()) store.secrets.erase(old);
  store.secrets.push_back(secret);
  while (store.secrets.size() > kMaxSecrets) store.secrets.pop_front();

  // Each secret is also looked for in its URL-encoded forms (a Base64
  // password inside a form body or a query string).
  std::vector<std::string> forms;
  for (const std::string& s : store.secrets) {
    forms.push_back(s);
    forms.push_back(zu::PercentEncode(s, "-_.~"));
    forms.push_back(zu::PercentEncode(s, "-_.~/"));
  }
  std::sort(forms.begin(), forms.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  });
  forms.erase(std::unique(forms.begin(), forms.end()), forms.end());
  store.forms = std::make_shared<const std::vector<std::string>>(std::move(forms));
}

std::string RedactLogText(const std::string& text) {
  std::shared_ptr<const std::vector<std::string>> forms;
  {
    SecretStore& store = Secrets();
    MutexLock lock(store.mutex);
    forms = store.forms;
  }
  std::string out = text;
  // Longest first, so a secret that contains another is replaced whole.
  for (const std::string& form : *forms) ReplaceAll(out, form);
  return RedactSignatures(out);
}

std::string LogDirectory() { return VariableOr("ZUCLOUD_LOG_DIR", kDefaultLogDir); }

}  // namespace zu
