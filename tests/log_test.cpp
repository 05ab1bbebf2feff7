// The service log: file placement, line layout, levels, formatting,
// redaction and concurrent appends.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/EvDebug.h"
#include "support/TestEnv.h"

namespace {

using zutest::CountOccurrences;
using zutest::ReadFile;
using zutest::ScopedEnv;
using zutest::TempDir;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct ParsedLine {
  long pid = 0;
  long tid = 0;
  std::string level;
  std::string rest;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads digits at `pos` into `value`; false when there are none.
bool ReadNumber(const std::string& s, size_t& pos, long& value) {
  const size_t start = pos;
  value = 0;
  while (pos < s.size() && IsDigit(s[pos])) value = value * 10 + (s[pos++] - '0');
  return pos > start;
}

bool Expect(const std::string& s, size_t& pos, const std::string& literal) {
  if (s.compare(pos, literal.size(), literal) != 0) return false;
  pos += literal.size();
  return true;
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ pid=N tid=N LEVEL rest", LEVEL being ERROR or
// DEBUG followed by the level number.
bool Parse(const std::string& line, ParsedLine& out) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (line.size() < shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !IsDigit(line[i]) : line[i] != shape[i]) return false;
  }
  size_t pos = shape.size();
  if (!Expect(line, pos, " pid=") || !ReadNumber(line, pos, out.pid)) return false;
  if (!Expect(line, pos, " tid=") || !ReadNumber(line, pos, out.tid)) return false;
  if (!Expect(line, pos, " ")) return false;
  const size_t blank = line.find(' ', pos);
  if (blank == std::string::npos) return false;
  out.level = line.substr(pos, blank - pos);
  long number = 0;
  size_t p = pos + 5;
  const bool debugWord =
      out.level.compare(0, 5, "DEBUG") == 0 && ReadNumber(line, p, number) && p == blank;
  if (out.level != "ERROR" && !debugWord) return false;
  out.rest = line.substr(blank + 1);
  return true;
}

// A log directory (not yet existing, two levels deep) and an open log.
class LogTest : public ::testing::Test {
 protected:
  LogTest()
      : m_logDir(m_root.path() + "/var/log/zucloud"),
        m_dirEnv("ZUCLOUD_LOG_DIR", m_logDir),
        m_levelEnv("ZUCLOUD_LOG_LEVEL", std::nullopt) {}

  void Open() { ASSERT_EQ(0, m_log.initialize(&m_file, EvDebug::kZuCloudLogId, 0, true, "test")); }
  std::string LogPath() const { return m_logDir + "/ZUCloudService.log"; }
  std::string Content() const { return ReadFile(LogPath()); }

  TempDir m_root;
  std::string m_logDir;
  ScopedEnv m_dirEnv;
  ScopedEnv m_levelEnv;
  EvDebugFileInstance m_file;
  EvDebug m_log{&m_file};
};

TEST_F(LogTest, CreatesDirectoryAndPrivateFile) {
  struct stat st;
  ASSERT_NE(0, stat(m_logDir.c_str(), &st)) << "precondition: directory missing";
  Open();
  EXPECT_TRUE(m_file.isOpen());
  EXPECT_EQ(LogPath(), m_file.path());
  ASSERT_EQ(0, stat(m_logDir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(0, stat(LogPath().c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(LogTest, FileIsCreatedPrivateEvenUnderPermissiveUmask) {
  const mode_t old = umask(0);
  Open();
  umask(old);
  struct stat st;
  ASSERT_EQ(0, stat(LogPath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

TEST_F(LogTest, LineLayoutForBothStyles) {
  Open();
  m_log.Error("DoLogin", "Error: %s (%d)", "login refused", 401);
  m_log.error("ZUCloudAzureService(553): -Error-: %s", "no token");
  const auto lines = Lines(Content());
  ASSERT_EQ(2u, lines.size());
  ParsedLine a, b;
  ASSERT_TRUE(Parse(lines[0], a)) << lines[0];
  ASSERT_TRUE(Parse(lines[1], b)) << lines[1];
  EXPECT_EQ(static_cast<long>(getpid()), a.pid);
  EXPECT_EQ("ERROR", a.level);
  EXPECT_EQ("[DoLogin] Error: login refused (401)", a.rest);
  EXPECT_EQ("ERROR", b.level);
  EXPECT_EQ("ZUCloudAzureService(553): -Error-: no token", b.rest);
  EXPECT_EQ(a.tid, b.tid);
}

TEST_F(LogTest, DefaultLevelIsThree) {
  Open();
  m_log.Debug("Op", "debug line");
  m_log.debug("untagged debug line");
  m_log.DebugLvl(3, "Op", "level three");
  m_log.debugLvl(3, "untagged level three");
  m_log.DebugLvl(4, "Op", "level four");
  m_log.debugLvl(4, "untagged level four");
  const std::string content = Content();
  EXPECT_EQ(1u, CountOccurrences(content, "DEBUG1 [Op] debug line\n"));
  EXPECT_EQ(1u, CountOccurrences(content, "DEBUG1 untagged debug line\n"));
  EXPECT_EQ(1u, CountOccurrences(content, "DEBUG3 [Op] level three\n"));
  EXPECT_EQ(1u, CountOccurrences(content, "DEBUG3 untagged level three\n"));
  EXPECT_EQ(0u, CountOccurrences(content, "level four"));
  EXPECT_EQ(4u, Lines(content).size());
}

TEST_F(LogTest, LogLevelFromEnvironment) {
  Open();
  {
    ScopedEnv level("ZUCLOUD_LOG_LEVEL", "0");
    m_log.Debug("Op", "hidden debug");
    m_log.DebugLvl(1, "Op", "hidden level one");
    m_log.Error("Op", "error at level zero");
    m_log.error("untagged error at level zero");
    // A line worded "Warning:" is written at its own level, at level zero
    // too; only that word at the start makes it one.
    m_log.Error("Op", "Warning: a warning at level zero");
    m_log.error("Warning: an untagged warning");
    m_log.Error("Op", "Warning a line without the colon");
    m_log.Error("Op", "Error: Warning: inside");
  }
  {
    ScopedEnv level("ZUCLOUD_LOG_LEVEL", "5");
    m_log.DebugLvl(5, "Op", "shown level five");
    m_log.debugLvl(6, "hidden level six");
  }
  {
    ScopedEnv level("ZUCLOUD_LOG_LEVEL", "1");
    m_log.Debug("Op", "shown debug at one");
    m_log.DebugLvl(2, "Op", "hidden level two");
  }
  {
    ScopedEnv level("ZUCLOUD_LOG_LEVEL", "garbage");
    m_log.DebugLvl(3, "Op", "shown with default");
    m_log.DebugLvl(4, "Op", "hidden with default");
  }
  const std::string content = Content();
  EXPECT_EQ(0u, CountOccurrences(content, "hidden"));
  EXPECT_EQ(1u, CountOccurrences(content, "ERROR [Op] error at level zero"));
  EXPECT_EQ(1u, CountOccurrences(content, " WARN [Op] Warning: a warning at level zero"));
  EXPECT_EQ(1u, CountOccurrences(content, " WARN Warning: an untagged warning"));
  EXPECT_EQ(1u, CountOccurrences(content, " ERROR [Op] Warning a line without the colon"));
  EXPECT_EQ(1u, CountOccurrences(content, " ERROR [Op] Error: Warning: inside"));
  EXPECT_EQ(1u, CountOccurrences(content, "untagged error at level zero"));
  EXPECT_EQ(1u, CountOccurrences(content, "DEBUG5 [Op] shown level five"));
  EXPECT_EQ(1u, CountOccurrences(content, "shown debug at one"));
  EXPECT_EQ(1u, CountOccurrences(content, "shown with default"));
}

TEST_F(LogTest, AppendsAcrossReopenAndOtherIdsUseTheirOwnFile) {
  Open();
  m_log.Error("Op", "first");
  {
    EvDebugFileInstance file2;
    EvDebug log2(&file2);
    ASSERT_EQ(0, log2.initialize(&file2, EvDebug::kZuCloudLogId, 0, false, "second"));
    log2.Error("Op", "second");
    EvDebugFileInstance file3;
    EvDebug log3(&file3);
    ASSERT_EQ(0, log3.initialize(&file3, 42u, 0, false, "other"));
    EXPECT_TRUE(file3.isOpen());
    EXPECT_EQ(m_logDir + "/EvDebug_42.log", file3.path());
    log3.Error("Op", "elsewhere");
  }
  const auto lines = Lines(Content());
  ASSERT_EQ(2u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("first"));
  EXPECT_NE(std::string::npos, lines[1].find("second"));
  EXPECT_EQ(1u, CountOccurrences(ReadFile(m_logDir + "/EvDebug_42.log"), "elsewhere"));
}

TEST_F(LogTest, AnExistingFileIsMadePrivate) {
  std::filesystem::create_directories(m_logDir);
  zutest::WriteFile(LogPath(), "old line\n");
  ASSERT_EQ(0, ::chmod(LogPath().c_str(), 0666));
  Open();
  struct stat st;
  ASSERT_EQ(0, stat(LogPath().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  m_log.Error("Op", "appended");
  EXPECT_EQ(0u, Content().find("old line\n"));
  EXPECT_EQ(1u, CountOccurrences(Content(), "[Op] appended"));
}

// The log's name taken by something other than this user's own regular
// file: refused with one stderr line, and nothing is written anywhere.
TEST(LogRefused, LinksDirectoriesFifosAndOtherUsersFiles) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path, const std::string& target)> plant;
    const char* reason;
  };
  std::vector<Case> cases = {
      {"symbolic link to a file",
       [](const std::string& path, const std::string& target) {
         ASSERT_EQ(0, ::symlink(target.c_str(), path.c_str()));
       },
       "symbolic link"},
      {"dangling symbolic link",
       [](const std::string& path, const std::string& target) {
         ASSERT_EQ(0, ::symlink((target + ".new").c_str(), path.c_str()));
       },
       "symbolic link"},
      {"directory",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
       },
       "not a regular file"},
      {"FIFO without a reader",
       [](const std::string& path, const std::string&) {
         ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
       },
       "not a regular file"},
      {"hard link to a file",
       [](const std::string& path, const std::string& target) {
         ASSERT_EQ(0, ::link(target.c_str(), path.c_str()));
       },
       "more than one hard link"},
  };
  if (::geteuid() == 0) {
    cases.push_back({"another user's file",
                     [](const std::string& path, const std::string&) {
                       zutest::WriteFile(path, "theirs\n");
                       ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
                       ASSERT_EQ(0, ::chown(path.c_str(), 54321, 54321));
                     },
                     "another user"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ScopedEnv logDir("ZUCLOUD_LOG_DIR", dir.path());
    const std::string path = dir.file("ZUCloudService.log");
    const std::string target = dir.file("target");
    zutest::WriteFile(target, "precious\n");
    ASSERT_EQ(0, ::chmod(target.c_str(), 0644));
    c.plant(path, target);

    EvDebugFileInstance file;
    EvDebug log(&file);
    ::testing::internal::CaptureStderr();
    EXPECT_NE(0, log.initialize(&file, EvDebug::kZuCloudLogId, 0, true, "x"));
    log.Error("Op", "must go nowhere");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ("", file.path());
    EXPECT_EQ(1u, CountOccurrences(err, "\n")) << err;
    EXPECT_NE(std::string::npos, err.find(path + " refused: ")) << err;
    EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
    EXPECT_EQ("precious\n", ReadFile(target));
    struct stat st;
    EXPECT_NE(0, ::stat((target + ".new").c_str(), &st)) << "a dangling link was followed";
    ASSERT_EQ(0, ::stat(target.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777) << "the refused file's mode was changed";
  }
}

// A full log becomes ZUCloudService.log.1 (replacing the one before) and a
// new file starts: neither grows past the cap, the newest line is kept.
TEST_F(LogTest, FullFileIsRotatedToOnePredecessor) {
  ScopedEnv cap("ZUCLOUD_LOG_MAX_BYTES", "4096");
  Open();
  const std::string filler(100, 'x');
  for (int i = 0; i < 200; ++i) m_log.Error("Op", "line %03d %s", i, filler.c_str());
  const std::string current = Content();
  const std::string previous = ReadFile(LogPath() + ".1");
  EXPECT_LE(current.size(), 4096u);
  EXPECT_GT(previous.size(), 3500u);
  EXPECT_LE(previous.size(), 4096u);
  EXPECT_NE(std::string::npos, current.find("line 199 ")) << current;
  EXPECT_EQ(std::string::npos, (previous + current).find("line 000 "));
  EXPECT_EQ("", ReadFile(LogPath() + ".2"));
  for (const std::string& line : Lines(previous + current)) {
    ParsedLine parsed;
    EXPECT_TRUE(Parse(line, parsed)) << line;
  }
  struct stat st;
  ASSERT_EQ(0, ::stat((LogPath() + ".1").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

// The cap on both sides: a line that ends exactly on it is written to the
// file, one that would end a byte past it goes to a new file, and the file
// never holds more than the cap.
TEST(LogCap, ALineEndingOnTheCapStaysAndOneBytePastItRotates) {
  constexpr size_t kCap = 1024;
  ScopedEnv cap("ZUCLOUD_LOG_MAX_BYTES", std::to_string(kCap));
  for (const size_t past : {0u, 1u}) {
    SCOPED_TRACE(past);
    TempDir root;
    ScopedEnv dir("ZUCLOUD_LOG_DIR", root.path());
    const std::string path = root.file("ZUCloudService.log");
    EvDebugFileInstance file;
    EvDebug log(&file);
    ASSERT_EQ(0, log.initialize(&file, EvDebug::kZuCloudLogId, 0, true, "cap"));
    const std::string first(100, 'a');
    log.Error("Op", "%s", first.c_str());
    const size_t used = ReadFile(path).size();
    const size_t overhead = used - first.size();  // the same for every line of this thread
    const std::string last(kCap - used - overhead + past, 'b');
    log.Error("Op", "%s", last.c_str());
    const std::string current = ReadFile(path);
    const std::string previous = ReadFile(path + ".1");
    EXPECT_LE(current.size(), kCap);
    if (past == 0) {
      EXPECT_EQ(kCap, current.size());
      EXPECT_EQ("", previous);
    } else {
      EXPECT_EQ(used, previous.size());
      EXPECT_EQ(kCap + 1 - used, current.size());
    }
  }
}

TEST_F(LogTest, HugeTextArgumentsAreCutWithTheirFullLength) {
  Open();
  zu::RegisterLogSecret("boundary-secret-7Qx2");
  // A 8 MiB reply with a secret straddling the place of the cut.
  std::string reply(8u << 20, 'r');
  reply.replace(4090, 20, "boundary-secret-7Qx2");
  m_log.Error("UploadBlob", "Error: reply [%s] status [%d]", reply.c_str(), 500);
  const std::wstring wide(100000, L'\u00e9');  // 200000 bytes of UTF-8
  m_log.error("ZUCloudAzureService(1): -Error-: %ls", wide.c_str());
  // A precision in the format decides alone, and does not cut a secret
  // either.
  m_log.Error("Op", "[%.4095s]", reply.c_str());

  const auto lines = Lines(Content());
  ASSERT_EQ(3u, lines.size());
  EXPECT_LT(lines[0].size(), 4096u + 200u);
  EXPECT_NE(std::string::npos,
            lines[0].find("REDACT [... cut, 8388608 bytes in all]] status [500]"))
      << lines[0].substr(lines[0].size() - 100);
  EXPECT_EQ(std::string::npos, Content().find("boun")) << "a cut secret is still a secret";
  EXPECT_LT(lines[1].size(), 4096u + 200u);
  EXPECT_NE(std::string::npos, lines[1].find("\xC3\xA9 [... cut, 200000 bytes in all]"));
  EXPECT_EQ(std::string::npos, lines[2].find("cut,"));
  EXPECT_NE(std::string::npos, lines[2].find("rrrREDAC]"));
}

TEST_F(LogTest, EmbeddedLineBreaksKeepOneLinePerCall) {
  Open();
  m_log.Error("Op", "reply:\n<a>\r\n</a>\n");
  const auto lines = Lines(Content());
  ASSERT_EQ(1u, lines.size());
  ParsedLine p;
  ASSERT_TRUE(Parse(lines[0], p));
  EXPECT_EQ("[Op] reply:\\n<a>\\r\\n</a>", p.rest);
}

TEST(LogUnopenable, NothingWrittenNothingFails) {
  TempDir root;
  // A regular file where a directory is needed: neither mkdir nor open can succeed.
  zutest::WriteFile(root.file("blocker"), "x");
  ScopedEnv dir("ZUCLOUD_LOG_DIR", root.file("blocker") + "/sub");
  EvDebugFileInstance file;
  EvDebug log(&file);
  ::testing::internal::CaptureStderr();
  EXPECT_NE(0, log.initialize(&file, EvDebug::kZuCloudLogId, 0, true, "x"));
  const std::string told = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ("", file.path());
  log.Error("Op", "goes nowhere %s", "at all");
  log.debugLvl(1, "nor this %d", 1);
  EXPECT_EQ("x", ReadFile(root.file("blocker")));
  // The operator hears of it: one line with the path and the reason.
  EXPECT_EQ("zucloud: cannot open the log file " + root.file("blocker") +
                "/sub/ZUCloudService.log: Not a directory; nothing will be logged\n",
            told);

  // Before initialize, and without any instance, logging is a no-op too.
  EvDebug noInstance(nullptr);
  EXPECT_NE(0, noInstance.initialize(nullptr, EvDebug::kZuCloudLogId, 0, true, "x"));
  noInstance.Error("Op", "nothing");
  EvDebugFileInstance unopened;
  EvDebug notInitialized(&unopened);
  notInitialized.error("nothing either");
  EXPECT_FALSE(unopened.isOpen());
}

// A log that cannot be opened (a folder this user may not write, a folder
// that cannot be made) or written (a full disk: here a file size limit) is
// named on stderr once per path and process, however many objects open it
// or lines fail; another path gets its own line.
TEST(LogUnopenable, OneStderrLinePerLogWithItsReason) {
  struct Row {
    const char* what;
    std::function<std::string(const TempDir& root)> folder;  // "" skips the row
    const char* reason;
  };
  const Row rows[] = {
      {"folder under a file",
       [](const TempDir& root) {
         zutest::WriteFile(root.file("file"), "x");
         return root.file("file") + "/logs";
       },
       ": Not a directory; nothing will be logged\n"},
      {"folder that cannot be made",
       [](const TempDir&) { return std::string("/proc/zucloud-no-such-folder/logs"); },
       ": No such file or directory (its folder is missing and could not be made); nothing will "
       "be logged\n"},
      {"folder this user may not write",
       [](const TempDir& root) {
         if (::geteuid() == 0) return std::string();  // root writes anywhere
         EXPECT_EQ(0, ::mkdir(root.file("locked").c_str(), 0500));
         return root.file("locked");
       },
       ": Permission denied; nothing will be logged\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir root;
    const std::string folder = row.folder(root);
    if (folder.empty()) continue;
    ScopedEnv dir("ZUCLOUD_LOG_DIR", folder);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
      EvDebugFileInstance file;
      EvDebug log(&file);
      EXPECT_NE(0, log.initialize(&file, EvDebug::kZuCloudLogId, 0, true, "x"));
      log.Error("Op", "lost %d", i);
    }
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, CountOccurrences(told, "\n")) << told;
    EXPECT_EQ(0u,
              told.find("zucloud: cannot open the log file " + folder + "/ZUCloudService.log: "))
        << told;
    EXPECT_NE(std::string::npos, told.find(row.reason)) << told;
  }

  // Lines that cannot be written: one line when the first is lost, none
  // for the next; the lines before are kept whole.
  TempDir root;
  ScopedEnv dir("ZUCLOUD_LOG_DIR", root.path());
  EvDebugFileInstance file;
  EvDebug log(&file);
  ASSERT_EQ(0, log.initialize(&file, EvDebug::kZuCloudLogId, 0, true, "x"));
  // Longer than the stderr line, which gtest catches in a file under the
  // same limit.
  log.Error("Op", "kept %s", std::string(1000, 'k').c_str());
  const std::string path = root.file("ZUCloudService.log");
  const size_t kept = ReadFile(path).size();
  rlimit old{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
  rlimit small = old;
  small.rlim_cur = kept;
  const sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ::testing::internal::CaptureStderr();
  const int limited = ::setrlimit(RLIMIT_FSIZE, &small);
  log.Error("Op", "lost 1");
  log.Error("Op", "lost 2");
  ::setrlimit(RLIMIT_FSIZE, &old);
  const std::string told = ::testing::internal::GetCapturedStderr();
  ::signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(0, limited);
  EXPECT_EQ(
      "zucloud: cannot write the log file " + path + ": File too large; log lines are being lost\n",
      told);
  EXPECT_EQ(kept, ReadFile(path).size());
  log.Error("Op", "written again");
  EXPECT_NE(std::string::npos, ReadFile(path).find("[Op] written again"));
}

TEST(LogDirectory, EnvironmentOrDefault) {
  {
    ScopedEnv dir("ZUCLOUD_LOG_DIR", std::nullopt);
    EXPECT_EQ("/var/log/zucloud", zu::LogDirectory());
  }
  ScopedEnv dir("ZUCLOUD_LOG_DIR", "/tmp/elsewhere");
  EXPECT_EQ("/tmp/elsewhere", zu::LogDirectory());
}

// ---------------------------------------------------------------------------
// Formatting

// Calls the va_list form without the compiler's format check, for formats
// that check would reject on purpose.
std::string Unchecked(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = zu::FormatLogText(format, args);
  va_end(args);
  return text;
}

TEST(LogFormat, IntegersAtTheirExtremes) {
  EXPECT_EQ("-9223372036854775808 9223372036854775807",
            zu::FormatLogText("%lld %lld", LLONG_MIN, LLONG_MAX));
  EXPECT_EQ("18446744073709551615 0", zu::FormatLogText("%llu %llu", ULLONG_MAX, 0ULL));
  EXPECT_EQ("-2147483648 4294967295 -9223372036854775808 18446744073709551615",
            zu::FormatLogText("%d %u %ld %lu", INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX));
  EXPECT_EQ("-7 ffffffff FFFFFFFFFFFFFFFF",
            zu::FormatLogText("%i %x %llX", -7, UINT_MAX, ULLONG_MAX));
  EXPECT_EQ("-1 255", zu::FormatLogText("%hhd %hhu", -1, 255));
}

TEST(LogFormat, FlagsWidthAndPrecisionMatchPrintf) {
  char expected[128];
  std::snprintf(expected, sizeof(expected), "[%5d|%-5d|%05d|%+d|% d|%.4d|%-+8.3d|%08x]", -42, -42,
                -42, -42, -42, -42, -42, 0xbeefu);
  EXPECT_EQ(expected, zu::FormatLogText("[%5d|%-5d|%05d|%+d|% d|%.4d|%-+8.3d|%08x]", -42, -42, -42,
                                        -42, -42, -42, -42, 0xbeefu));
  EXPECT_EQ("[   42|42   |00042|+42| 42|0042]",
            zu::FormatLogText("[%5d|%-5d|%05d|%+d|% d|%.4d]", 42, 42, 42, 42, 42, 42));
  EXPECT_EQ("[0x1f|  1F|00ff]", zu::FormatLogText("[%#x|%4X|%04x]", 31u, 31u, 255u));
  EXPECT_EQ("[    7|7    ]", zu::FormatLogText("[%*d|%*d]", 5, 7, -5, 7));
  EXPECT_EQ("[abc|  abc|abc  |ab]",
            zu::FormatLogText("[%s|%5s|%-5s|%.2s]", "abc", "abc", "abc", "abc"));
  EXPECT_EQ("[x|  y|%|100%]", zu::FormatLogText("[%c|%3c|%%|%d%%]", 'x', 'y', 100));
}

TEST(LogFormat, PointersMatchPrintf) {
  int object = 0;
  char expected[64];
  std::snprintf(expected, sizeof(expected), "%p %p", static_cast<void*>(&object),
                static_cast<void*>(nullptr));
  EXPECT_EQ(expected,
            zu::FormatLogText("%p %p", static_cast<void*>(&object), static_cast<void*>(nullptr)));
}

TEST(LogFormat, NarrowAndWideStrings) {
  const wchar_t* wide = L"Gr\u00FC\u00DFe \u20AC \U0001F600";
  const std::string utf8 =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ("<" + utf8 + ">", zu::FormatLogText("<%ls>", wide));
  EXPECT_EQ("<" + utf8 + ">", zu::FormatLogText("<%s>", utf8.c_str()));
  EXPECT_EQ("(null) (null)", Unchecked("%s %ls", static_cast<const char*>(nullptr),
                                       static_cast<const wchar_t*>(nullptr)));
  std::wstring message = L"Folder \u00E9t\u00E9 created";
  EXPECT_EQ("Folder \xC3\xA9t\xC3\xA9 created", zu::FormatLogText("%ls", message.c_str()));
  // The precision never splits a UTF-8 sequence.
  EXPECT_EQ("Gr", zu::FormatLogText("%.3ls", wide));
}

TEST(LogFormat, UnusualFormats) {
  EXPECT_EQ("", Unchecked(nullptr));
  EXPECT_EQ("plain text", zu::FormatLogText("plain text"));
  EXPECT_EQ("trailing %", Unchecked("trailing %"));
  EXPECT_EQ("1 %y 2", Unchecked("%d %y %d", 1, 2));
}

TEST_F(LogTest, WideTextReachesTheFileAsUtf8) {
  Open();
  m_log.Error("UploadFile", "Error: %ls (%lld bytes, %llu max)", L"\u00C5ngstr\u00F6m \u65E5\u672C",
              -1LL, ULLONG_MAX);
  EXPECT_EQ(1u, CountOccurrences(Content(),
                                 "[UploadFile] Error: \xC3\x85ngstr\xC3\xB6m "
                                 "\xE6\x97\xA5\xE6\x9C\xAC (-1 bytes, "
                                 "18446744073709551615 max)\n"));
}

// ---------------------------------------------------------------------------
// Redaction

TEST(LogRedact, RegisteredSecrets) {
  zu::RegisterLogSecret("session-token-0123456789");
  zu::RegisterLogSecret("cGFzc3dvcmQ+/w==");  // a Base64 password
  zu::RegisterLogSecret("");
  zu::RegisterLogSecret("abc");  // too short to register
  EXPECT_EQ(
      "Authtoken: REDACTED; again REDACTED",
      zu::RedactLogText("Authtoken: session-token-0123456789; again session-token-0123456789"));
  EXPECT_EQ("password=REDACTED", zu::RedactLogText("password=cGFzc3dvcmQ+/w=="));
  // Also when it travels URL-encoded.
  EXPECT_EQ("password=REDACTED", zu::RedactLogText("password=cGFzc3dvcmQ%2B%2Fw%3D%3D"));
  EXPECT_EQ("abc stays", zu::RedactLogText("abc stays"));
  EXPECT_EQ("", zu::RedactLogText(""));
}

TEST(LogRedact, LongerSecretContainingAShorterOneIsReplacedWhole) {
  zu::RegisterLogSecret("innerPart");
  zu::RegisterLogSecret("outer-innerPart-tail");
  EXPECT_EQ("x REDACTED y REDACTED", zu::RedactLogText("x outer-innerPart-tail y innerPart"));
}

TEST(LogRedact, KeepsTheMostRecent256Secrets) {
  std::vector<std::string> secrets;
  for (int i = 0; i < 300; ++i) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "bulk-secret-%04d", i);
    secrets.push_back(buf);
    zu::RegisterLogSecret(buf);
  }
  EXPECT_EQ(secrets[0], zu::RedactLogText(secrets[0])) << "oldest values are forgotten";
  EXPECT_EQ(secrets[43], zu::RedactLogText(secrets[43]));
  EXPECT_EQ("REDACTED", zu::RedactLogText(secrets[44]));
  EXPECT_EQ("REDACTED", zu::RedactLogText(secrets[299]));
}

TEST(LogRedact, SignatureOfEveryUrl) {
  EXPECT_EQ(
      "PUT https://acct.blob.core.windows.net/c/f.bak?comp=block&blockid=QUFB&sv=2021-08-06"
      "&sig=REDACTED&se=2030-01-01 failed",
      zu::RedactLogText("PUT https://acct.blob.core.windows.net/c/f.bak?comp=block&blockid=QUFB"
                        "&sv=2021-08-06&sig=Ab%2Bcd%2Fef%3D&se=2030-01-01 failed"));
  EXPECT_EQ("token ?sv=1&SIG=REDACTED", zu::RedactLogText("token ?sv=1&SIG=xyzSECRET"));
  EXPECT_EQ("sig=REDACTED", zu::RedactLogText("sig=startOfText"));
  EXPECT_EQ("<Url>https://h/p?sig=REDACTED</Url> (x?sig=REDACTED) [sig=REDACTED] 'sig=REDACTED'",
            zu::RedactLogText("<Url>https://h/p?sig=aa</Url> (x?sig=bb) [sig=cc] 'sig=dd'"));
  EXPECT_EQ("\"sig=REDACTED\" sig=", zu::RedactLogText("\"sig=ee\" sig="));
  // A URL carried URL-encoded inside another.
  EXPECT_EQ("next=https%3A%2F%2Fh%2Fp%3Fsv%3D1%26sig%3DREDACTED%26se%3D2",
            zu::RedactLogText("next=https%3A%2F%2Fh%2Fp%3Fsv%3D1%26sig%3Dab%252Bcd%26se%3D2"));
  EXPECT_EQ("no signature here: signal=1", zu::RedactLogText("no signature here: signal=1"));
}

TEST_F(LogTest, EveryLevelPassesThroughRedaction) {
  Open();
  ScopedEnv level("ZUCLOUD_LOG_LEVEL", "9");
  zu::RegisterLogSecret("tok-AAAA-BBBB-CCCC");
  const char* url = "https://a.blob/c/f?sv=1&sig=SIGVALUE123&se=2";
  m_log.Error("DoLogin", "token %s url %s", "tok-AAAA-BBBB-CCCC", url);
  m_log.Debug("DoLogin", "token %s url %s", "tok-AAAA-BBBB-CCCC", url);
  m_log.DebugLvl(9, "tok-AAAA-BBBB-CCCC", "url %s", url);
  m_log.error("token %s url %s", "tok-AAAA-BBBB-CCCC", url);
  m_log.debug("token %ls", L"tok-AAAA-BBBB-CCCC");
  m_log.debugLvl(9, "url %s", url);
  const std::string content = Content();
  EXPECT_EQ(6u, Lines(content).size());
  EXPECT_EQ(0u, CountOccurrences(content, "tok-AAAA-BBBB-CCCC"));
  EXPECT_EQ(0u, CountOccurrences(content, "SIGVALUE123"));
  EXPECT_EQ(5u, CountOccurrences(content, "sig=REDACTED&se=2"));
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  Open();
  // A second object with its own descriptor on the same file, as two
  // services in one process have.
  EvDebugFileInstance otherFile;
  EvDebug other(&otherFile);
  ASSERT_EQ(0, other.initialize(&otherFile, EvDebug::kZuCloudLogId, 0, true, "other"));

  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  const std::string payload(300, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      EvDebug& log = t % 2 == 0 ? m_log : other;
      for (int i = 0; i < kLines; ++i) {
        if (i % 2 == 0) {
          log.Error("Worker", "t=%d i=%d %s end", t, i, payload.c_str());
        } else {
          log.debugLvl(2, "t=%d i=%d %s end", t, i, payload.c_str());
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  const auto lines = Lines(Content());
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  std::set<std::pair<int, int>> seen;
  std::map<int, std::set<long>> tidsByThread;
  for (const std::string& line : lines) {
    ParsedLine p;
    ASSERT_TRUE(Parse(line, p)) << line;
    // "[Worker] t=T i=I ppp...p end" (tag on the even lines only)
    size_t pos = 0;
    const bool tagged = Expect(p.rest, pos, "[Worker] ");
    long t = -1, i = -1;
    ASSERT_TRUE(Expect(p.rest, pos, "t=") && ReadNumber(p.rest, pos, t)) << line;
    ASSERT_TRUE(Expect(p.rest, pos, " i=") && ReadNumber(p.rest, pos, i)) << line;
    ASSERT_TRUE(Expect(p.rest, pos, " " + payload + " end")) << line;
    EXPECT_EQ(pos, p.rest.size()) << line;
    EXPECT_EQ(i % 2 == 0, tagged);
    EXPECT_EQ(i % 2 == 0 ? "ERROR" : "DEBUG2", p.level);
    EXPECT_TRUE(seen.insert({static_cast<int>(t), static_cast<int>(i)}).second)
        << "duplicate " << line;
    tidsByThread[static_cast<int>(t)].insert(p.tid);
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
  std::set<long> allTids;
  for (const auto& entry : tidsByThread) {
    EXPECT_EQ(1u, entry.second.size());
    allTids.insert(*entry.second.begin());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads), allTids.size());
}

TEST(LogRedactConcurrency, RegisterWhileRedacting) {
  // 4 x 60 values stay below the 256 kept, so none registered here can be
  // pushed out by the other threads before it is checked.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 60; ++i) {
        const std::string secret = "conc-" + std::to_string(t) + "-" + std::to_string(i);
        zu::RegisterLogSecret(secret);
        EXPECT_EQ("v=REDACTED", zu::RedactLogText("v=" + secret));
      }
    });
  }
  for (auto& th : threads) th.join();
}

}  // namespace
