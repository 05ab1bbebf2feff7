// A helper process (local test server, emulator) started by a test.
#ifndef ZUCLOUD_TESTS_SUPPORT_CHILD_PROCESS_H
#define ZUCLOUD_TESTS_SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace zutest {

// Starts argv[0] (searched in PATH) with its own process group; its standard
// output is read by readyLine(), its standard error goes to the test's. The
// destructor kills the whole group (SIGTERM, then SIGKILL) and reaps it.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits up to `timeoutMs` for a line of standard output that starts with
  // `prefix` and returns the rest of that line; throws on time-out or exit.
  std::string readyLine(const std::string& prefix, int timeoutMs = 30000);
  pid_t pid() const { return m_pid; }
  void stop();

 private:
  pid_t m_pid = -1;
  int m_stdout = -1;
  std::string m_buffer;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_CHILD_PROCESS_H
