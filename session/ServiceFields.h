// The members both service classes hold under the same names: the
// credentials, the console URL, the state flags, the log and the keep-alive
// settings; and the blob service's settings, read in one place. The classes share no base class
// (their layout is part of the library's interface), so the code that reads and fills these members
// is written once here, for either class; each class befriends ServiceFields.
#ifndef ZUCLOUD_SESSION_SERVICE_FIELDS_H
#define ZUCLOUD_SESSION_SERVICE_FIELDS_H

#include <string>

#include "session/ServiceSettings.h"
#include "session/SessionParams.h"

namespace zu {

struct ServiceFields {
  // What the gateway session and the login need, taken from `service`.
  template <class Service>
  static SessionParams Params(const Service& service, ServiceKind kind) {
    SessionParams params;
    params.kind = kind;
    params.log = service.m_evDbg.get();
    params.url = service.m_url;
    params.userName = service.m_userName;
    params.password = service.m_password;
    params.loginExtra = service.m_loginExtra;
    params.initialized = service.m_bInitialized;
    params.secured = service.m_bSecured;
    params.retryCount = service.m_nRetryCount;
    params.keepAlive = service.m_bEnableTCPKeepAlive;
    params.keepIdleSeconds = service.m_nKeepIdleSeconds;
    params.keepIntervalSeconds = service.m_nKeepIntervalSeconds;
    return params;
  }

  // What init takes for the web console: the console URL it chooses (and
  // logs under `tag`, with where it came from), the user, the password's
  // Base64 form and the third credential.
  template <class Service>
  static void TakeLogin(Service& service, const char* tag, const std::string& userName,
                        const std::string& password, const std::string& loginField) {
    const CloudUrlChoice cloudUrl = ChooseCloudUrl(service.m_url);
    LogCloudUrl(service.m_evDbg.get(), tag, cloudUrl);
    service.m_url = cloudUrl.url;
    service.m_password = EncodePassword(password);
    service.m_userName = userName;
    service.m_loginExtra = loginField;
  }

  // Reads the keep-alive settings into `service` (its constructor).
  template <class Service>
  static void LoadKeepAlive(Service& service) {
    const KeepAliveSettings keepAlive = ReadKeepAliveSettings();
    service.m_bEnableTCPKeepAlive = keepAlive.enabled;
    service.m_nKeepIntervalSeconds = keepAlive.intervalSeconds;
    service.m_nKeepIdleSeconds = keepAlive.idleSeconds;
  }

  // Reads the blob service's own settings into `service` (its constructor).
  template <class Service>
  static void LoadBlobSettings(Service& service) {
    const BlobSettings settings = ReadBlobSettings();
    service.m_nRetryCount = settings.retryCount;
    service.m_uploadBlobSize = settings.uploadBlobSize;
    service.m_uploadStreamCount = settings.uploadStreamCount;
    service.m_bAPIMode = settings.apiMode;
    service.m_bAzureFunctionsMode = settings.azureFunctionsMode;
    service.m_nMaximumBackoff = settings.maximumBackoffSeconds;
  }
};

}  // namespace zu

#endif  // ZUCLOUD_SESSION_SERVICE_FIELDS_H
