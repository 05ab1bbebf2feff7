// Changes to the library's environment (platform/host/Env.h) for a scope:
// the files the engines open, the waits, the back-off jitter, the gateways
// and the idle lifetime of pooled connections.
#ifndef ZUCLOUD_TESTS_SUPPORT_ENV_CHANGE_H
#define ZUCLOUD_TESTS_SUPPORT_ENV_CHANGE_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/host/Env.h"

namespace zutest {

// What a test changes in the library's environment; an empty member keeps
// the environment's own answer.
struct EnvChange {
  std::function<std::unique_ptr<zu::SequentialFile>(const std::string& path, CPzError& error)>
      openFile;
  std::function<void(unsigned int nominalMs)> sleep;  // called instead of waiting
  std::function<int()> jitter;
  std::function<LIBCURL::ZuInternetGateway*(EvDebug* log)> gateway;
  std::optional<std::chrono::milliseconds> idleConnectionLifetime;
  std::optional<std::chrono::seconds> connectionLifetime;
  std::function<std::chrono::steady_clock::time_point()> now;  // the clock pooled handles age by
};

// Installs the environment in use with `change` applied for the scope.
class ScopedEnvChange {
 public:
  explicit ScopedEnvChange(EnvChange change);
  ScopedEnvChange(const ScopedEnvChange&) = delete;
  ScopedEnvChange& operator=(const ScopedEnvChange&) = delete;

 private:
  zu::ScopedEnvInstall m_install;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_ENV_CHANGE_H
