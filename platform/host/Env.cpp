// The machine's own environment and the one in use.
#include "platform/host/Env.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/host/PzSleep.h"
#include "platform/threads/ZuSync.h"

namespace zu {
namespace {

class PosixEnv : public Env {
 public:
  std::optional<std::string> Variable(const char* name) override {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }

  std::unique_ptr<SequentialFile> OpenSequentialFile(const std::string& path,
                                                     CPzError& error) override {
    return OpenPosixSequentialFile(path, error);
  }

  void Sleep(unsigned int milliseconds, const std::function<bool()>& stop) override {
    SleepScaled(milliseconds, stop);
  }

  int BackoffJitterMs() override {
    return std::rand() % 1000;  // NOLINT: the process-wide generator is wanted
  }

  LIBCURL::ZuInternetGateway* NewGateway(EvDebug* /*log*/) override { return nullptr; }

  std::chrono::milliseconds IdleConnectionLifetime(std::chrono::milliseconds standard) override {
    return standard;
  }

  std::chrono::seconds ConnectionLifetime(std::chrono::seconds standard) override {
    return standard;
  }

  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
};

// The environment in use. Never destroyed, like the machine's environment,
// for threads that still run at exit.
struct CurrentSlot {
  Mutex mutex;
  std::shared_ptr<Env> env GUARDED_BY(mutex);  // empty until first asked for
};

CurrentSlot& Slot() {
  static auto* slot = new CurrentSlot();
  return *slot;
}

}  // namespace

std::shared_ptr<Env> Env::Default() {
  // Never destroyed: threads may still ask for it while the process ends.
  static auto* machine = new std::shared_ptr<Env>(std::make_shared<PosixEnv>());
  return *machine;
}

std::shared_ptr<Env> Env::Current() {
  CurrentSlot& slot = Slot();
  MutexLock lock(slot.mutex);
  if (!slot.env) slot.env = Default();
  return slot.env;
}

EnvWrapper::EnvWrapper(std::shared_ptr<Env> target) : m_target(std::move(target)) {}

std::optional<std::string> EnvWrapper::Variable(const char* name) {
  return m_target->Variable(name);
}

std::unique_ptr<SequentialFile> EnvWrapper::OpenSequentialFile(const std::string& path,
                                                               CPzError& error) {
  return m_target->OpenSequentialFile(path, error);
}

void EnvWrapper::Sleep(unsigned int milliseconds, const std::function<bool()>& stop) {
  m_target->Sleep(milliseconds, stop);
}

int EnvWrapper::BackoffJitterMs() { return m_target->BackoffJitterMs(); }

LIBCURL::ZuInternetGateway* EnvWrapper::NewGateway(EvDebug* log) {
  return m_target->NewGateway(log);
}

std::chrono::milliseconds EnvWrapper::IdleConnectionLifetime(std::chrono::milliseconds standard) {
  return m_target->IdleConnectionLifetime(standard);
}

std::chrono::seconds EnvWrapper::ConnectionLifetime(std::chrono::seconds standard) {
  return m_target->ConnectionLifetime(standard);
}

std::chrono::steady_clock::time_point EnvWrapper::Now() { return m_target->Now(); }

ScopedEnvInstall::ScopedEnvInstall(std::shared_ptr<Env> env)
    : m_installed(std::move(env)), m_previous(Env::Current()) {
  CurrentSlot& slot = Slot();
  MutexLock lock(slot.mutex);
  slot.env = m_installed;
}

ScopedEnvInstall::~ScopedEnvInstall() {
  CurrentSlot& slot = Slot();
  MutexLock lock(slot.mutex);
  if (slot.env != m_installed) {
    std::fputs("zucloud: environment scopes ended out of order\n", stderr);
    std::abort();
  }
  slot.env = std::move(m_previous);
}

std::string VariableOr(const char* name, const std::string& fallback) {
  std::optional<std::string> value = Env::Current()->Variable(name);
  return value && !value->empty() ? *value : fallback;
}

}  // namespace zu
