#include "support/TestProxy.h"

#include <stdexcept>

#include "platform/http/ZuInternetGateway.h"
#include "support/TestEnv.h"

namespace zutest {

TestProxy::TestProxy() : m_process({"python3", SourceDir() + "/tests/support/http_test_proxy.py"}) {
  m_port = std::stoi(m_process.readyLine("READY ", 30000));
}

std::string TestProxy::url(const std::string& credentials) const {
  return "http://" + credentials + "127.0.0.1:" + std::to_string(m_port);
}

nlohmann::json TestProxy::stats() const {
  LIBCURL::ZuInternetGateway gateway(nullptr);
  if (gateway.initialize(3, 0) != 0) throw std::runtime_error("no gateway for the proxy's stats");
  gateway.setProxy("", "*");  // to the proxy itself, past any proxy
  std::string response;
  if (gateway.doGetOperation(url() + "/stats", response, {}) != 0)
    throw std::runtime_error("the proxy's stats: " + gateway.getErrorMsg());
  return nlohmann::json::parse(response);
}

}  // namespace zutest
