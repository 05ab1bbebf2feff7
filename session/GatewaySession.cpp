#include "session/GatewaySession.h"

#include <cctype>
#include <new>
#include <string>

#include "platform/host/Env.h"
#include "platform/http/ConnectFailure.h"
#include "platform/http/ConnectionPool.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "session/ServiceSettings.h"
#include "session/SettingsTable.h"

namespace zu {
namespace {

constexpr const char* kInitTag = "initZuInternetGateway";
constexpr const char* kCloseTag = "closeZuInternetGateway";

// The environment's gateway (tests put recording doubles there), else the
// real one.
LIBCURL::ZuInternetGateway* CreateGateway(EvDebug* log) {
  if (LIBCURL::ZuInternetGateway* gateway = Env::Current()->NewGateway(log)) return gateway;
  return new (std::nothrow) LIBCURL::ZuInternetGateway(log);
}

bool StartsWithHttps(const std::string& url) {
  static const char kPrefix[] = "https://";
  if (url.size() < sizeof(kPrefix) - 1) return false;
  for (size_t i = 0; i + 1 < sizeof(kPrefix); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

void CloseGatewayLogged(EvDebug* log, LIBCURL::ZuInternetGateway* gateway) {
  if (gateway == nullptr) return;
  if (gateway->disConnet() != 0) {
    log->Error(kCloseTag, "Error: Disconnect failed with error [%s] ",
               gateway->getErrorMsg().c_str());
  }
}

}  // namespace

bool IgnoreCertificateErrors() {
  return SettingsSnapshot().Number("nWebReportsIgnoreCertificateErrors") != 0;
}

HandedOutUrlProblem CheckHandedOutUrl(const std::string& consoleUrl, const std::string& url) {
  // An empty URL is no URL: the reply's own rules (a missing field, an
  // error message) decide, not this check.
  if (url.empty()) return HandedOutUrlProblem::kNone;
  for (unsigned char c : url) {
    if (c < 0x20 || c == 0x7F) return HandedOutUrlProblem::kControlCharacter;
  }
  // Only a URL that names https is sent over TLS: a plain http URL, or one
  // without a scheme (which libcurl would take for http), is not.
  if (StartsWithHttps(consoleUrl) && !StartsWithHttps(url) && !IgnoreCertificateErrors()) {
    return HandedOutUrlProblem::kNotHttps;
  }
  return HandedOutUrlProblem::kNone;
}

bool IsUsableSasToken(const std::string& token) {
  for (const unsigned char c : token) {
    if (c <= 0x20 || c >= 0x7F || c == '#') return false;
  }
  return true;
}

const char* DescribeHandedOutUrlProblem(HandedOutUrlProblem problem) {
  switch (problem) {
    case HandedOutUrlProblem::kControlCharacter:
      return "holds a control character";
    case HandedOutUrlProblem::kNotHttps:
      return "is not https although the web console is";
    case HandedOutUrlProblem::kNone:
      break;
  }
  return "is accepted";
}

void ServiceCreated() { LIBCURL::pool::AddUser(); }

void ServiceDestroyed() { LIBCURL::pool::RemoveUser(); }

namespace {
thread_local std::string t_lastConnectFailure;
}  // namespace

const std::string& LastConnectFailure() { return t_lastConnectFailure; }

std::wstring NoGatewayMessage(const wchar_t* fallback) {
  if (t_lastConnectFailure.empty()) return fallback != nullptr ? fallback : L"";
  std::string reason = t_lastConnectFailure;  // "cannot connect to ...": opens the sentence
  reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
  return FXString::ToWstring("Error: " + reason + ".");
}

LIBCURL::ZuInternetGateway* OpenGateway(const SessionParams& params, const std::string& url) {
  EvDebug* log = params.log;
  t_lastConnectFailure.clear();
  const int limit = params.retryCount < 1 ? 1 : params.retryCount;
  const bool reuse = ReadConnectionReuse();
  const ProxySettings proxy = ReadProxySettings();
  for (int attempt = 1; attempt <= limit; ++attempt) {
    LIBCURL::ZuInternetGateway* gateway = CreateGateway(log);
    if (gateway == nullptr) {
      log->Error(kInitTag,
                 "Error: Cannot create ZUInternetGateway, new "
                 "LIBCURL::ZuInternetGateway(&m_evDbg) call failed.");
      continue;
    }
    const int initResult = gateway->initialize(3, 0);
    if (initResult != 0) {
      int code = 0;
      std::string text;
      gateway->getLastCurlErrorCodeAndErrorMsg(code, text);
      if (code != 0) {
        log->Debug(kInitTag, "Error: Failed to initialize CURL wrapper with error [%d:%s]", code,
                   text.c_str());
      } else {
        log->Debug(kInitTag, "Error: Failed to initialize Gateway wrapper with error [%d:%s]",
                   initResult, text.c_str());
      }
      CloseAndDeleteGateway(params, gateway);
      return nullptr;
    }
    gateway->setURL(url);
    gateway->setProxy(proxy.url, proxy.bypass);
    if (params.kind == ServiceKind::kFolder) {
      gateway->setURLUserName(params.userName);
      gateway->setURLPassword(params.password);
    } else {
      gateway->setHTTPAuthentication(0);
    }
    if (params.keepAlive) {
      log->Debug(kInitTag, "TCP Keep Alive is enabled, idle seconds [%ld], interval seconds [%ld]",
                 static_cast<long>(params.keepIdleSeconds),
                 static_cast<long>(params.keepIntervalSeconds));
      const int keepAliveResult =
          gateway->setKeepAlive(true, static_cast<long>(params.keepIdleSeconds),
                                static_cast<long>(params.keepIntervalSeconds));
      if (keepAliveResult != 0) {
        int code = 0;
        std::string text;
        gateway->getLastCurlErrorCodeAndErrorMsg(code, text);
        if (code != 0) {
          log->Error(kInitTag,
                     "Error: Could not change TCP keep alive settings with error [%d:%s], "
                     "continuing",
                     code, text.c_str());
        } else {
          log->Error(kInitTag,
                     "Error: Could not change TCP keep alive settings with error [%d], "
                     "continuing",
                     keepAliveResult);
        }
      }
    }
    if (params.secured) gateway->setSecured(!IgnoreCertificateErrors());
    gateway->setConnectionReuse(reuse);
    if (gateway->connect() == 0) {
      t_lastConnectFailure.clear();
      return gateway;
    }
    log->Error(kInitTag, "Error: Connection failed with error [%s]",
               gateway->getErrorMsg().c_str());
    int code = 0;
    std::string text;
    gateway->getLastCurlErrorCodeAndErrorMsg(code, text);
    t_lastConnectFailure =
        LIBCURL::DescribeConnectFailure(code, code != 0 ? text : gateway->getErrorMsg(), url);
    CloseAndDeleteGateway(params, gateway);
  }
  return nullptr;
}

void CloseGateway(const SessionParams& params, LIBCURL::ZuInternetGateway* gateway) {
  CloseGatewayLogged(params.log, gateway);
}

void CloseAndDeleteGateway(const SessionParams& params, LIBCURL::ZuInternetGateway* gateway) {
  if (gateway == nullptr) return;
  CloseGateway(params, gateway);
  delete gateway;
}

void GatewayHolder::reset(LIBCURL::ZuInternetGateway* next) noexcept {
  LIBCURL::ZuInternetGateway* gateway = m_gateway;
  m_gateway = next;
  if (gateway == nullptr) return;
  try {
    CloseGatewayLogged(m_log, gateway);
  } catch (...) {
    // Closing only logs; a failure there must not leak the gateway.
  }
  delete gateway;
}

}  // namespace zu
