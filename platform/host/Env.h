// The library's view of the machine it runs on, in one object: environment
// variables, local files, waiting, the randomness of back-off waits, the
// making of HTTP gateways and the lifetime of idle pooled connections.
//
// Code asks Env::Current() rather than the operating system, so a test
// changes any of these by deriving from EnvWrapper, overriding what it needs
// and installing the result for a scope with ScopedEnvInstall. The
// environment in use is held by shared pointer: a thread that is inside a
// call keeps its environment alive while another thread installs the next
// one, so environments may be swapped while uploads run.
#ifndef ZUCLOUD_PLATFORM_ENV_H
#define ZUCLOUD_PLATFORM_ENV_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/host/SequentialFile.h"

class EvDebug;
namespace LIBCURL {
class ZuInternetGateway;
}

namespace zu {

class Env {
 public:
  Env() = default;
  virtual ~Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  // The environment in use: the machine's own unless a ScopedEnvInstall put
  // another in place.
  static std::shared_ptr<Env> Current();
  // The machine's own environment (lives as long as the process).
  static std::shared_ptr<Env> Default();

  // The process environment variable `name`; nullopt when it is unset.
  virtual std::optional<std::string> Variable(const char* name) = 0;

  // Opens a local file for one front-to-back read (see OpenSequentialFile).
  virtual std::unique_ptr<SequentialFile> OpenSequentialFile(const std::string& path,
                                                             CPzError& error) = 0;

  // Waits `milliseconds` scaled by ZUCLOUD_WAIT_SCALE, returning early once
  // `stop` (when not empty) returns true. The argument is the nominal wait,
  // the one callers log.
  virtual void Sleep(unsigned int milliseconds, const std::function<bool()>& stop) = 0;

  // Milliseconds (0..999) added to a back-off wait: rand() % 1000 from the
  // process's generator, which this library never seeds.
  virtual int BackoffJitterMs() = 0;

  // A new gateway for one web operation, owned by the caller. Null (the
  // machine's answer) means the real libcurl gateway.
  virtual LIBCURL::ZuInternetGateway* NewGateway(EvDebug* log) = 0;

  // How long a pooled connection may stay idle and still be handed out,
  // given the pool's own `standard` limit (the machine keeps it).
  virtual std::chrono::milliseconds IdleConnectionLifetime(std::chrono::milliseconds standard) = 0;
  // How long a connection may be used at all, given the gateway's own
  // `standard` limit (the machine keeps it; whole seconds, at least 1).
  virtual std::chrono::seconds ConnectionLifetime(std::chrono::seconds standard) = 0;
  // The monotonic clock by which pooled connections age.
  virtual std::chrono::steady_clock::time_point Now() = 0;
};

// An Env that passes every call to another one (by default the one in use
// when it is made). Derive from it to change a single aspect.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(std::shared_ptr<Env> target = Env::Current());

  std::optional<std::string> Variable(const char* name) override;
  std::unique_ptr<SequentialFile> OpenSequentialFile(const std::string& path,
                                                     CPzError& error) override;
  void Sleep(unsigned int milliseconds, const std::function<bool()>& stop) override;
  int BackoffJitterMs() override;
  LIBCURL::ZuInternetGateway* NewGateway(EvDebug* log) override;
  std::chrono::milliseconds IdleConnectionLifetime(std::chrono::milliseconds standard) override;
  std::chrono::seconds ConnectionLifetime(std::chrono::seconds standard) override;
  std::chrono::steady_clock::time_point Now() override;

  Env& target() const { return *m_target; }

 private:
  std::shared_ptr<Env> m_target;
};

// Puts `env` in place as Env::Current() for its lifetime and then puts back
// the environment it replaced. Scopes nest and must end in the reverse order
// of their start: one that ends while a later one is still in place stops
// the process with a message, since putting its predecessor back would
// silently undo the later one.
class ScopedEnvInstall {
 public:
  explicit ScopedEnvInstall(std::shared_ptr<Env> env);
  ~ScopedEnvInstall();
  ScopedEnvInstall(const ScopedEnvInstall&) = delete;
  ScopedEnvInstall& operator=(const ScopedEnvInstall&) = delete;

 private:
  std::shared_ptr<Env> m_installed;
  std::shared_ptr<Env> m_previous;
};

// Env::Current()->Variable(name), or `fallback` when it is unset or empty.
std::string VariableOr(const char* name, const std::string& fallback);

}  // namespace zu

#endif  // ZUCLOUD_PLATFORM_ENV_H
