#include "support/TestEnv.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace zutest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zucloud-test-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const { return m_path + "/" + name; }

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : m_name(std::move(name)) {
  if (const char* old = std::getenv(m_name.c_str())) m_old = old;
  if (value) {
    setenv(m_name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(m_name.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (m_old) {
    setenv(m_name.c_str(), m_old->c_str(), 1);
  } else {
    unsetenv(m_name.c_str());
  }
}

::testing::AssertionResult MessageStartsWith(const std::wstring& message,
                                             const std::wstring& prefix) {
  if (message.rfind(prefix, 0) == 0) return ::testing::AssertionSuccess();
  std::string narrow;
  for (wchar_t c : message) narrow += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
  return ::testing::AssertionFailure() << "the message is: " << narrow;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

size_t CountOccurrences(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t count = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

static int CountDirEntries(const char* dir) {
  int count = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++count;
    }
    closedir(d);
  }
  return count;
}

int CountOpenFds() { return CountDirEntries("/proc/self/fd") - 1; }  // minus the DIR's own fd
int CountThreads() {
  // Sanitizer runtimes start a helper thread with the process's first thread;
  // start (and join) one here so that it is counted from the first reading.
  static std::once_flag warmUp;
  std::call_once(warmUp, [] { std::thread([] {}).join(); });
  return CountDirEntries("/proc/self/task");
}

std::string SourceDir() { return ZUCLOUD_SOURCE_DIR; }

int UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

void RunBounded(const std::string& what, const std::function<void()>& fn,
                std::chrono::milliseconds limit) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread worker([&fn, &done] {
    fn();
    done.set_value();
  });
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not finish within %lld ms (hang); giving up\n", what.c_str(),
                 static_cast<long long>(limit.count()));
    std::fflush(nullptr);
    std::_Exit(3);
  }
  worker.join();
}

bool RunOnThreads(int threads, const std::function<void(int)>& work, std::chrono::seconds limit) {
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    int finished = 0;
  };
  auto state = std::make_shared<State>();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([state, work, t] {
      work(t);
      std::lock_guard<std::mutex> lock(state->mutex);
      ++state->finished;
      state->done.notify_all();
    });
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  bool all = state->done.wait_for(lock, limit, [&] { return state->finished == threads; });
  lock.unlock();
  for (std::thread& th : pool) {
    if (all) {
      th.join();
    } else {
      th.detach();
    }
  }
  return all;
}

}  // namespace zutest
