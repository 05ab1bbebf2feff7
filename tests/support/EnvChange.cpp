#include "support/EnvChange.h"

#include <utility>

namespace zutest {
namespace {

class ChangedEnv : public zu::EnvWrapper {
 public:
  explicit ChangedEnv(EnvChange change) : m_change(std::move(change)) {}

  std::unique_ptr<zu::SequentialFile> OpenSequentialFile(const std::string& path,
                                                         CPzError& error) override {
    if (m_change.openFile) return m_change.openFile(path, error);
    return EnvWrapper::OpenSequentialFile(path, error);
  }
  void Sleep(unsigned int milliseconds, const std::function<bool()>& stop) override {
    if (m_change.sleep) return m_change.sleep(milliseconds);
    EnvWrapper::Sleep(milliseconds, stop);
  }
  int BackoffJitterMs() override {
    return m_change.jitter ? m_change.jitter() : EnvWrapper::BackoffJitterMs();
  }
  LIBCURL::ZuInternetGateway* NewGateway(EvDebug* log) override {
    return m_change.gateway ? m_change.gateway(log) : EnvWrapper::NewGateway(log);
  }
  std::chrono::milliseconds IdleConnectionLifetime(std::chrono::milliseconds standard) override {
    return m_change.idleConnectionLifetime.value_or(EnvWrapper::IdleConnectionLifetime(standard));
  }
  std::chrono::seconds ConnectionLifetime(std::chrono::seconds standard) override {
    return m_change.connectionLifetime.value_or(EnvWrapper::ConnectionLifetime(standard));
  }
  std::chrono::steady_clock::time_point Now() override {
    return m_change.now ? m_change.now() : EnvWrapper::Now();
  }

 private:
  const EnvChange m_change;
};

}  // namespace

ScopedEnvChange::ScopedEnvChange(EnvChange change)
    : m_install(std::make_shared<ChangedEnv>(std::move(change))) {}

}  // namespace zutest
