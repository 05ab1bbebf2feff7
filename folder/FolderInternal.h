// Helpers shared by the operations of the folder upload service.
#ifndef ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
#define ZUCLOUD_FOLDER_FOLDER_INTERNAL_H

#include <exception>
#include <string>

#include "ZUCloudService.h"
#include "platform/EvDebug.h"
#include "platform/ZuInternetGateway.h"

namespace zu::folder {

// The message every cloud operation gives while the service is not
// initialised.
inline constexpr const wchar_t* kNotInitialized =
    L"Error: ZUCloudService not initialized, no user/password provided, call "
    L"ZUCloudService::init() first";

// Wait after a failed web-console or chunk attempt.
inline constexpr unsigned int kRetryWaitMs = 120000;

// Owns the gateway of one operation (or of one chunk): closes it through the
// service's closeZuInternetGateway and deletes it when the scope ends or on
// reset(), on every path.
class ServiceGateway {
 public:
  ServiceGateway(ZUCloudService& service, LIBCURL::ZuInternetGateway* gateway)
      : m_service(service), m_gateway(gateway) {}
  ~ServiceGateway() { reset(); }
  ServiceGateway(const ServiceGateway&) = delete;
  ServiceGateway& operator=(const ServiceGateway&) = delete;

  void reset() {
    LIBCURL::ZuInternetGateway* gateway = m_gateway;
    m_gateway = nullptr;
    if (gateway == nullptr) return;
    try {
      m_service.closeZuInternetGateway(gateway);
    } catch (...) {
      // Closing only logs; a failure there must not leak the gateway.
    }
    delete gateway;
  }
  LIBCURL::ZuInternetGateway* get() const { return m_gateway; }
  LIBCURL::ZuInternetGateway* operator->() const { return m_gateway; }
  explicit operator bool() const { return m_gateway != nullptr; }

 private:
  ZUCloudService& m_service;
  LIBCURL::ZuInternetGateway* m_gateway;
};

// Runs `body` and turns any exception into the failure result `onFailure`
// with a log line, so that no exception leaves a public operation. Every
// resource of the operation is held by RAII and released while unwinding.
template <typename Result, typename Body>
Result NoThrow(EvDebug* log, const char* tag, Result onFailure, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    try {
      if (log != nullptr) log->Error(tag, "Error: Unexpected failure [%s]", e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      if (log != nullptr) log->Error(tag, "Error: Unexpected failure");
    } catch (...) {
    }
  }
  return onFailure;
}

}  // namespace zu::folder

#endif  // ZUCLOUD_FOLDER_FOLDER_INTERNAL_H
