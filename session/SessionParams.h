// What the gateway session and the login need from a service object.
//
// Both service classes build one of these from their members for each
// operation (the classes share no base class).
#ifndef ZUCLOUD_SESSION_SESSION_PARAMS_H
#define ZUCLOUD_SESSION_SESSION_PARAMS_H

#include <string>

class EvDebug;

namespace zu {

enum class ServiceKind {
  kFolder,  // ZUCloudService: gateways get the URL user name and password
  kBlob,    // ZUCloudAzureService: gateways use no HTTP authentication
};

struct SessionParams {
  ServiceKind kind = ServiceKind::kFolder;
  EvDebug* log = nullptr;
  std::string url;  // web-console base URL
  std::string userName;
  std::string password;  // Base64 form
  std::string loginExtra;
  int initialized = 0;
  bool secured = false;  // later gateways talk https
  int retryCount = 30;
  bool keepAlive = false;
  long long keepIdleSeconds = 120;
  long long keepIntervalSeconds = 60;

  // "ZUCloudService" or "ZUCloudAzureService".
  const char* className() const;
  // The "not initialized" message of the login and of most operations.
  std::wstring notInitializedMessage() const;
};

}  // namespace zu

#endif  // ZUCLOUD_SESSION_SESSION_PARAMS_H
