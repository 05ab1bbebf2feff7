// Test helpers: temporary directories, environment overrides, files.
#ifndef ZUCLOUD_TESTS_SUPPORT_TEST_ENV_H
#define ZUCLOUD_TESTS_SUPPORT_TEST_ENV_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace zutest {

// A directory under $TMPDIR removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string m_path;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string m_name;
  std::optional<std::string> m_old;
};

std::string ReadFile(const std::string& path);  // "" when missing
// Whether a caller's message starts with `prefix`; the failure shows the
// whole message.
::testing::AssertionResult MessageStartsWith(const std::wstring& message,
                                             const std::wstring& prefix);
void WriteFile(const std::string& path, const std::string& content);
// Number of times `needle` occurs in `haystack`.
size_t CountOccurrences(const std::string& haystack, const std::string& needle);
// Open file descriptors and threads of this process (from /proc/self).
int CountOpenFds();
int CountThreads();
// Both counts at one moment (threads read first), to compare a later
// reading with: EXPECT_EQ(ThreadsAndFds::Now(), before).
struct ThreadsAndFds {
  int threads = 0;
  int fds = 0;
  static ThreadsAndFds Now() { return ThreadsAndFds{CountThreads(), CountOpenFds()}; }
  bool operator==(const ThreadsAndFds& other) const {
    return threads == other.threads && fds == other.fds;
  }
};
inline std::ostream& operator<<(std::ostream& out, const ThreadsAndFds& counts) {
  return out << counts.threads << " threads, " << counts.fds << " descriptors";
}
// The directory holding the project's sources (for scripts and the emulator).
std::string SourceDir();
// A port on 127.0.0.1 with nothing listening on it (bound, read, released).
int UnusedLoopbackPort();

// Runs `fn` on a thread of its own and waits at most `limit`. A call that
// does not come back is a hang that nothing can undo safely: the failure is
// printed with `what` and the process ends with status 3.
void RunBounded(const std::string& what, const std::function<void()>& fn,
                std::chrono::milliseconds limit);

// Runs `work(thread index)` on `threads` threads; false when they do not all
// finish within `limit` (the threads are then left detached so the test can
// fail instead of hanging).
bool RunOnThreads(int threads, const std::function<void(int)>& work, std::chrono::seconds limit);

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_TEST_ENV_H
