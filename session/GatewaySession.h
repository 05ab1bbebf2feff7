// Opening and closing the HTTP gateway of one cloud operation.
#ifndef ZUCLOUD_SESSION_GATEWAY_SESSION_H
#define ZUCLOUD_SESSION_GATEWAY_SESSION_H

#include <string>

#include "session/SessionParams.h"

namespace LIBCURL {
class ZuInternetGateway;
}

namespace zu {

// Creates, configures and connects a gateway for `url` (taking its
// connection from the pool unless "bEnableZUCloudConnectionReuse" is
// false): up to
// params.retryCount connect attempts (at least one) one after the other,
// without waiting. Returns the connected gateway, owned by the caller, or
// null. A failed initialize() ends at once.
LIBCURL::ZuInternetGateway* OpenGateway(const SessionParams& params, const std::string& url);

// Why the last OpenGateway of this thread that returned null could not
// connect, in plain words (platform/http/ConnectFailure.h); "" when it
// connected, or failed before trying.
const std::string& LastConnectFailure();

// The caller's message for an operation that got no gateway: the reason of
// the failed connect when there is one ("Error: Cannot connect to ..."),
// else `fallback`.
std::wstring NoGatewayMessage(const wchar_t* fallback);

// A service object starts or stops using the process's connection pool:
// each constructor calls the first, each destructor the second. When the
// last service object is gone every pooled connection is closed.
void ServiceCreated();
void ServiceDestroyed();

// Disconnects `gateway` (null does nothing); does not delete it.
void CloseGateway(const SessionParams& params, LIBCURL::ZuInternetGateway* gateway);

// Closes and deletes `gateway` (null does nothing).
void CloseAndDeleteGateway(const SessionParams& params, LIBCURL::ZuInternetGateway* gateway);

// Owns the gateway of one operation (or of one chunk): disconnects it
// (logging a failed disconnect) and deletes it when the scope ends or on
// reset(), on every path. Either service uses it.
class GatewayHolder {
 public:
  GatewayHolder(EvDebug* log, LIBCURL::ZuInternetGateway* gateway)
      : m_log(log), m_gateway(gateway) {}
  GatewayHolder(const SessionParams& params, LIBCURL::ZuInternetGateway* gateway)
      : GatewayHolder(params.log, gateway) {}
  ~GatewayHolder() { reset(); }
  GatewayHolder(const GatewayHolder&) = delete;
  GatewayHolder& operator=(const GatewayHolder&) = delete;

  // Closes and deletes the gateway now; the holder then holds `next`.
  void reset(LIBCURL::ZuInternetGateway* next = nullptr) noexcept;
  LIBCURL::ZuInternetGateway* get() const { return m_gateway; }
  LIBCURL::ZuInternetGateway* operator->() const { return m_gateway; }
  explicit operator bool() const { return m_gateway != nullptr; }

 private:
  EvDebug* m_log;
  LIBCURL::ZuInternetGateway* m_gateway;
};

// Whether the operator set "nWebReportsIgnoreCertificateErrors" ([Reports],
// not 0): https certificates go unchecked, which declares a test set-up.
bool IgnoreCertificateErrors();

// What is wrong with a URL that a set-up reply hands out (an upload URL, a
// storage service URL) before it is stored and used. An empty URL has no
// problem here: the reply's own rules treat a missing URL.
enum class HandedOutUrlProblem {
  kNone,
  // A control character (NUL included): refused rather than cut or sent.
  kControlCharacter,
  // The web console is https but this URL is not: the session token or the
  // SAS signature would travel in clear. Accepted when certificate errors
  // are ignored by setting.
  kNotHttps,
};
HandedOutUrlProblem CheckHandedOutUrl(const std::string& consoleUrl, const std::string& url);
// "holds a control character" or "is not https although the web console is".
const char* DescribeHandedOutUrlProblem(HandedOutUrlProblem problem);

// Whether a SAS token handed out by a set-up reply can go into a URL's
// query as it is: visible ASCII characters only, without "#". Anything else
// (a CR or LF, a blank, a NUL, a fragment mark) could never be sent, or
// would be sent cut, so such a token is refused where it arrives.
bool IsUsableSasToken(const std::string& token);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_GATEWAY_SESSION_H
