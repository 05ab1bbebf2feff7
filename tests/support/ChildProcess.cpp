#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zutest {

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  for (const auto& e : extraEnv) envStore.push_back(e);
  std::vector<char*> env;
  for (auto& e : envStore) env.push_back(e.data());
  env.push_back(nullptr);

  int rc = posix_spawnp(&m_pid, args[0], &actions, &attr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    m_pid = -1;
    throw std::runtime_error("cannot start " + argv[0]);
  }
  m_stdout = fds[0];
}

ChildProcess::~ChildProcess() { stop(); }

std::string ChildProcess::readyLine(const std::string& prefix, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl;
    while ((nl = m_buffer.find('\n')) != std::string::npos) {
      std::string line = m_buffer.substr(0, nl);
      m_buffer.erase(0, nl + 1);
      if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) throw std::runtime_error("no ready line from child process");
    pollfd p{m_stdout, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = read(m_stdout, buf, sizeof buf);
    if (n <= 0) throw std::runtime_error("child process ended before it was ready");
    m_buffer.append(buf, static_cast<size_t>(n));
  }
}

void ChildProcess::stop() {
  if (m_pid > 0) {
    kill(-m_pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (m_pid > 0) {
      kill(-m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
    }
  }
  if (m_stdout >= 0) {
    close(m_stdout);
    m_stdout = -1;
  }
}

}  // namespace zutest
