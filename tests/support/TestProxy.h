// tests/support/http_test_proxy.py as a test fixture: an HTTP proxy that
// tunnels (CONNECT) and forwards (absolute-form requests), and counts both.
#ifndef ZUCLOUD_TESTS_SUPPORT_TEST_PROXY_H
#define ZUCLOUD_TESTS_SUPPORT_TEST_PROXY_H

#include <nlohmann/json.hpp>
#include <string>

#include "support/ChildProcess.h"

namespace zutest {

class TestProxy {
 public:
  TestProxy();
  // http://[credentials]127.0.0.1:port, e.g. url("ann:s3cr3t@").
  std::string url(const std::string& credentials = "") const;
  // {"tunnels": n, "forwarded": m, "authorization": [Proxy-Authorization values]}.
  nlohmann::json stats() const;

 private:
  ChildProcess m_process;
  int m_port = 0;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_TEST_PROXY_H
