// The local cloud emulator as a test fixture, and the environment a service
// object under test reads (settings file, log directory, waits, CA bundle).
#ifndef ZUCLOUD_TESTS_SUPPORT_EMULATOR_H
#define ZUCLOUD_TESTS_SUPPORT_EMULATOR_H

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestEnv.h"

namespace zutest {

struct EmulatorOptions {
  bool tls = false;      // https on both listeners, with a throwaway CA
  bool storage = false;  // also start Azurite behind the storage proxy
  std::string prefix = "/webconsole";
  std::string accounts = "ann:s3cr3t";  // user:password[,user:password]
};

// Starts emulator/run_emulator.py on free loopback ports and stops it (and
// Azurite) on destruction. The control calls throw std::runtime_error when
// the emulator cannot be reached or answers with an error status. Each call
// uses its own connection, so the object may be used from several threads.
class Emulator {
 public:
  explicit Emulator(EmulatorOptions options = {});
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // scheme://127.0.0.1:port + prefix: the "Cloud URL" of the web console.
  std::string consoleUrl() const;
  // The upload listener, as the set-up workflow hands it out (with prefix).
  std::string uploadUrl() const;
  // scheme://127.0.0.1:port without prefix (Azure Functions base: + "/azfunc").
  std::string consoleBase() const;
  int consolePort() const { return m_consolePort; }
  int uploadPort() const { return m_uploadPort; }
  int proxyPort() const { return m_proxyPort; }      // 0 without storage
  int azuritePort() const { return m_azuritePort; }  // 0 without storage
  const EmulatorOptions& options() const { return m_options; }
  // PEM file of the CA that signed the emulator's certificate ("" without TLS).
  std::string caFile() const;

  // Journal entries, optionally only those of one request kind.
  nlohmann::json journal(const std::string& kind = "");
  // Injects a fault ({"fault": ..., "count": n, ...}) for requests of `kind`.
  void fault(const std::string& kind, nlohmann::json fault);
  // Clears journal, faults, stored files, completions, module state, knobs.
  void reset();
  // Sets reply knobs (a null value removes one).
  void config(const nlohmann::json& knobs);
  nlohmann::json files();
  nlohmann::json folders();
  nlohmann::json state();
  nlohmann::json blob(const std::string& container, const std::string& name);
  nlohmann::json proxyStats();
  nlohmann::json completions();
  // Generic control call: `path` below "/_emu", e.g. "/journal?kind=login".
  nlohmann::json control(const std::string& method, const std::string& path,
                         const nlohmann::json& body = nullptr);

 private:
  void makeCertificates();

  EmulatorOptions m_options;
  TempDir m_dir;
  std::string m_scheme = "http";
  std::string m_prefix;
  int m_consolePort = 0;
  int m_uploadPort = 0;
  int m_proxyPort = 0;
  int m_azuritePort = 0;
  std::unique_ptr<ChildProcess> m_process;
};

// The container named by a storage service URL ".../devstoreaccount1/<c>".
std::string ContainerOf(const std::string& serviceUrl);

// Environment of a service object under test, for its lifetime: a TempDir
// holding the settings file (ZUCLOUD_CONFIG), the log (ZUCLOUD_LOG_DIR) and
// the state folder of resume journals (ZUCLOUD_STATE_DIR, "state" inside
// it, made by the library), ZUCLOUD_WAIT_SCALE=0, ZUCLOUD_LOG_LEVEL=9 and,
// when given, ZUCLOUD_CA_FILE.
// The previous values come back on destruction. The settings file is
// rewritten by every set call (write() does it again explicitly).
class ServiceEnv {
 public:
  explicit ServiceEnv(const std::string& caFile = "");
  ~ServiceEnv();
  ServiceEnv(const ServiceEnv&) = delete;
  ServiceEnv& operator=(const ServiceEnv&) = delete;

  void setGlobal(const std::string& key, const std::string& value);
  void setSection(const std::string& section, const std::string& key, const std::string& value);
  void write();
  std::string logText() const;  // content of ZUCloudService.log ("" if none)
  std::string logPath() const;
  std::string configPath() const;
  std::string dir() const { return m_dir.path(); }
  std::string stateDir() const { return m_dir.file("state"); }

 private:
  using Entries = std::vector<std::pair<std::string, std::string>>;
  TempDir m_dir;
  std::vector<std::pair<std::string, Entries>> m_sections;  // in first-set order
  std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_EMULATOR_H
