#include "support/Emulator.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace zutest {

namespace {

void GlobalCurlInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void Run(const std::string& command) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  if (rc != 0) throw std::runtime_error("command failed: " + command);
}

}  // namespace

Emulator::Emulator(EmulatorOptions options) : m_options(std::move(options)) {
  GlobalCurlInit();
  std::vector<std::string> argv = {"python3",    SourceDir() + "/emulator/run_emulator.py",
                                   "--accounts", m_options.accounts,
                                   "--prefix",   m_options.prefix};
  if (m_options.tls) {
    makeCertificates();
    argv.insert(argv.end(),
                {"--tls-cert", m_dir.file("server.pem"), "--tls-key", m_dir.file("server.key")});
  }
  if (m_options.storage) {
    argv.insert(argv.end(),
                {"--with-storage", "--node-modules", SourceDir() + "/emulator/node_modules"});
  }
  m_process = std::make_unique<ChildProcess>(argv);
  // Azurite's start-up dominates with storage; the console alone is quick.
  auto ready = nlohmann::json::parse(m_process->readyLine("READY ", 60000));
  m_consolePort = ready.at("console").get<int>();
  m_uploadPort = ready.at("upload").get<int>();
  if (!ready.at("proxy").is_null()) m_proxyPort = ready.at("proxy").get<int>();
  if (!ready.at("azurite").is_null()) m_azuritePort = ready.at("azurite").get<int>();
  m_scheme = ready.at("scheme").get<std::string>();
  m_prefix = ready.at("prefix").get<std::string>();
}

Emulator::~Emulator() = default;

void Emulator::makeCertificates() {
  Run("python3 " + SourceDir() + "/emulator/zuemu/certificates.py " + m_dir.path());
}

std::string Emulator::consoleBase() const {
  return m_scheme + "://127.0.0.1:" + std::to_string(m_consolePort);
}

std::string Emulator::consoleUrl() const { return consoleBase() + m_prefix; }

std::string Emulator::uploadUrl() const {
  return m_scheme + "://127.0.0.1:" + std::to_string(m_uploadPort) + m_prefix;
}

std::string Emulator::caFile() const { return m_options.tls ? m_dir.file("ca.pem") : ""; }

nlohmann::json Emulator::control(const std::string& method, const std::string& path,
                                 const nlohmann::json& body) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::runtime_error("curl_easy_init failed");
  std::string url = consoleBase() + "/_emu" + path;
  std::string payload = body.is_null() ? std::string() : body.dump();
  std::string reply;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (method == "POST" || !payload.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, payload.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(payload.size()));
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (m_options.tls) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile().c_str());
  CURLcode rc = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (rc != CURLE_OK) {
    throw std::runtime_error("emulator control " + method + " " + path + ": " +
                             curl_easy_strerror(rc));
  }
  if (status < 200 || status > 299) {
    throw std::runtime_error("emulator control " + method + " " + path + ": HTTP " +
                             std::to_string(status) + " " + reply);
  }
  return reply.empty() ? nlohmann::json() : nlohmann::json::parse(reply);
}

nlohmann::json Emulator::journal(const std::string& kind) {
  if (kind.empty()) return control("GET", "/journal");
  char* escaped = curl_easy_escape(nullptr, kind.c_str(), static_cast<int>(kind.size()));
  std::string q(escaped ? escaped : "");
  curl_free(escaped);
  return control("GET", "/journal?kind=" + q);
}

void Emulator::fault(const std::string& kind, nlohmann::json fault) {
  fault["kind"] = kind;
  control("POST", "/fault", fault);
}

void Emulator::reset() { control("POST", "/reset"); }

void Emulator::config(const nlohmann::json& knobs) { control("POST", "/config", knobs); }

nlohmann::json Emulator::files() { return control("GET", "/files"); }

nlohmann::json Emulator::folders() { return control("GET", "/folders"); }

nlohmann::json Emulator::state() { return control("GET", "/state"); }

nlohmann::json Emulator::blob(const std::string& container, const std::string& name) {
  char* c = curl_easy_escape(nullptr, container.c_str(), static_cast<int>(container.size()));
  char* n = curl_easy_escape(nullptr, name.c_str(), static_cast<int>(name.size()));
  std::string path = std::string("/blob?container=") + (c ? c : "") + "&name=" + (n ? n : "");
  curl_free(c);
  curl_free(n);
  return control("GET", path);
}

nlohmann::json Emulator::proxyStats() { return control("GET", "/proxy/stats"); }

nlohmann::json Emulator::completions() { return control("GET", "/completions"); }

// --- ServiceEnv ---------------------------------------------------------------

ServiceEnv::ServiceEnv(const std::string& caFile) {
  m_env.push_back(std::make_unique<ScopedEnv>("ZUCLOUD_CONFIG", configPath()));
  m_env.push_back(std::make_unique<ScopedEnv>("ZUCLOUD_LOG_DIR", m_dir.path()));
  m_env.push_back(std::make_unique<ScopedEnv>("ZUCLOUD_STATE_DIR", stateDir()));
  m_env.push_back(std::make_unique<ScopedEnv>("ZUCLOUD_WAIT_SCALE", "0"));
  m_env.push_back(std::make_unique<ScopedEnv>("ZUCLOUD_LOG_LEVEL", "9"));
  m_env.push_back(std::make_unique<ScopedEnv>(
      "ZUCLOUD_CA_FILE", caFile.empty() ? std::nullopt : std::optional<std::string>(caFile)));
  write();
}

// Environment first (reverse order of setting), then the directory.
ServiceEnv::~ServiceEnv() {
  while (!m_env.empty()) m_env.pop_back();
}

void ServiceEnv::setGlobal(const std::string& key, const std::string& value) {
  setSection("GlobalParam", key, value);
}

void ServiceEnv::setSection(const std::string& section, const std::string& key,
                            const std::string& value) {
  Entries* entries = nullptr;
  for (auto& s : m_sections) {
    if (s.first == section) entries = &s.second;
  }
  if (entries == nullptr) {
    m_sections.emplace_back(section, Entries{});
    entries = &m_sections.back().second;
  }
  bool replaced = false;
  for (auto& e : *entries) {
    if (e.first == key) {
      e.second = value;
      replaced = true;
    }
  }
  if (!replaced) entries->emplace_back(key, value);
  write();
}

void ServiceEnv::write() {
  std::string text = "# written by the test's ServiceEnv\n";
  for (const auto& s : m_sections) {
    text += "[" + s.first + "]\n";
    for (const auto& e : s.second) text += e.first + " = " + e.second + "\n";
  }
  WriteFile(configPath(), text);
}

std::string ServiceEnv::logPath() const { return m_dir.file("ZUCloudService.log"); }

std::string ServiceEnv::logText() const { return ReadFile(logPath()); }

std::string ServiceEnv::configPath() const { return m_dir.file("zucloud.conf"); }

std::string ContainerOf(const std::string& serviceUrl) {
  return serviceUrl.substr(serviceUrl.rfind('/') + 1);
}

}  // namespace zutest
