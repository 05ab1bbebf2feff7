// HTTP gateway on libcurl: the public calls and the request itself. The
// gateway's state is Impl (GatewayImpl.h, which says where each of its
// roles lives); the refusals of requests that must not be sent are in
// RequestRefusal.h, the libcurl callbacks in TransferCallbacks.h.
//
// Design notes:
// - One easy handle per gateway, created by initialize() and released by
//   disConnet() or the destructor. Every request goes through that handle, so
//   libcurl's per-handle connection cache keeps the connection to the host
//   open between the requests of one gateway.
// - connect() is a reachability probe (ReachabilityProbe.cpp) on a separate
//   handle; the first request opens the connection the later ones share.
// - With connection reuse on (setConnectionReuse) and the pool active
//   (ConnectionPool.h), connect() first takes an idle handle of the pool for
//   the URL's origin and the gateway's security settings: when its
//   connection, made by an earlier gateway, is still open it is used as it
//   is, without a probe. A connection the server closed is dropped and the
//   origin counts as unchecked. Without a live one, the gateway's own handle
//   joins the pool's TLS session and DNS share, and the probe is left out
//   when a request to that origin completed within the pool's idle limit
//   (the server was reachable moments ago; the probe would only cost a
//   connection that no request uses). Otherwise the probe runs, one at a
//   time per origin, its handshake cached for the request's connection.
//   disConnet() then hands the handle, with its open connection, back to the
//   pool, unless its last request failed in transport. A connection is
//   handed out, or used for a gateway's next request, only when nothing has
//   arrived on it since its last reply (pool::CheckConnection): a closed or
//   half-closed connection, or one holding a reply nobody asked for, is
//   closed with its handle instead (GatewayPooling.cpp).
// - No request goes out twice unseen. libcurl sends a request again by
//   itself when a reused connection closes before the first reply byte; the
//   server may have carried the first copy out. A pre-request callback
//   refuses that second start, and the request fails with curl error 52
//   (ReplyLostOnThisThread tells the retry policy).
// - Descriptors are close-on-exec: connection sockets through the
//   open-socket callback, libcurl's own socket pair per handle through
//   NewEasyHandle (CloseOnExec.h).
// - Options are (re)applied before every transfer (TransferOptions.h).
// - The URL user name and password are stored on the base only. The gateway
//   never sends them (no CURLOPT_USERPWD, no authentication scheme), so they
//   can reach neither a plain http server nor an https one.
// - Results (TransferOutcome.cpp): 0 for success; a transport failure
//   returns its CURLcode, a completed request with a non-2xx status returns
//   that status, and a call the gateway refuses by itself (not initialized,
//   no URL, bad arguments, a NoTransport gateway) returns -1. getErrorMsg()
//   reads "curl error N: ..." or "HTTP status N" or the gateway's own text.
// - Every request checks its URL and headers before anything is sent
//   (RequestRefusal.h).
// - Each request has an overall deadline (CURLOPT_TIMEOUT_MS) from
//   RequestDeadlineMs: a fixed allowance plus the body at a minimum rate. The
//   stall guard alone lets a server that sends a few bytes a second hold an
//   attempt for days.
// - disConnet() releases the handle (closing its connection, or handing it
//   to the pool); the gateway needs a new initialize() before it can send
//   again.
// - Nothing is logged: error texts never contain the request URL (it may carry
//   a shared-access signature) nor any header value.
// - Separate gateways may be used in separate threads at the same time; one
//   gateway is used by one thread at a time. The only shared state is the
//   process-wide limits (guarded by a mutex), the one-time global libcurl
//   initialisation (std::call_once) and the connection pool (its own
//   mutexes).
#include "platform/http/ZuInternetGateway.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/Env.h"
#include "platform/http/CloseOnExec.h"
#include "platform/http/ConnectionPool.h"
#include "platform/http/GatewayImpl.h"
#include "platform/http/RequestRefusal.h"
#include "platform/http/SendPacer.h"
#include "platform/text/FXString.h"
#include "platform/threads/ZuSync.h"

namespace LIBCURL {

namespace {

constexpr int kProtocolHttp = 3;
constexpr int kJobRequestReply = 0;

zu::Mutex g_limitsMutex;
GatewayLimits g_limits GUARDED_BY(g_limitsMutex);

std::once_flag g_globalInitOnce;
CURLcode g_globalInitResult = CURLE_FAILED_INIT;

CURLcode GlobalInit() {
  std::call_once(g_globalInitOnce,
                 [] { g_globalInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return g_globalInitResult;
}

}  // namespace

ZuInternetGateway::ZuInternetGateway(EvDebug* log) : m_log(log), m_impl(std::make_unique<Impl>()) {}

ZuInternetGateway::ZuInternetGateway(EvDebug* log, NoTransport)
    : m_log(log), m_impl(std::make_unique<Impl>()) {
  m_impl->noTransport = true;
}

ZuInternetGateway::~ZuInternetGateway() { m_impl->releaseHandle(); }

void ZuInternetGateway::SetLimits(const GatewayLimits& limits) {
  zu::MutexLock lock(g_limitsMutex);
  g_limits = limits;
}

GatewayLimits ZuInternetGateway::Limits() {
  zu::MutexLock lock(g_limitsMutex);
  return g_limits;
}

long ZuInternetGateway::RequestDeadlineMs(const GatewayLimits& limits, long long bodyBytes) {
  constexpr long long kMaxRate = 1LL << 40;  // keeps the products below in range
  const long long base = limits.deadlineBaseSeconds < 1 ? 1 : limits.deadlineBaseSeconds;
  const long long rate = std::min(std::max(limits.deadlineMinBytesPerSecond, 1LL), kMaxRate);
  const long long bytes = bodyBytes < 0 ? 0 : bodyBytes;
  // Whole seconds and the remainder apart, rounded up to the millisecond.
  const long long cap = LONG_MAX;
  const long long seconds = bytes / rate;
  const long long restMs = ((bytes % rate) * 1000 + rate - 1) / rate;
  if (base > cap / 1000 || seconds > cap / 1000 - base) return LONG_MAX;
  const long long ms = (base + seconds) * 1000;
  if (ms > cap - restMs) return LONG_MAX;
  return static_cast<long>(ms + restMs);
}

int ZuInternetGateway::initialize(int protocolType, int jobType) {
  Impl& d = *m_impl;
  d.clearOutcome();
  if (d.noTransport) return d.gatewayFailure("gateway has no transport");
  if (protocolType != kProtocolHttp || jobType != kJobRequestReply)
    return d.gatewayFailure("unsupported protocol type " + std::to_string(protocolType) +
                            " / job type " + std::to_string(jobType));
  CURLcode rc = GlobalInit();
  if (rc != CURLE_OK) return d.transportFailure(rc, nullptr);
  d.releaseHandle();
  d.easy.reset(NewEasyHandle());
  if (!d.easy) return d.transportFailure(CURLE_FAILED_INIT, "cannot create a curl handle");
  d.caFile = zu::Env::Current()->Variable("ZUCLOUD_CA_FILE").value_or("");
  return 0;
}

void ZuInternetGateway::setURL(const std::string& url) { m_base.setURL(url); }

void ZuInternetGateway::setURLUserName(const std::string& name) { m_base.setURLUserName(name); }

void ZuInternetGateway::setURLPassword(const std::string& password) {
  m_base.setURLPassword(password);
}

int ZuInternetGateway::setHTTPAuthentication(long scheme) {
  Impl& d = *m_impl;
  // Only "no scheme" is offered: the URL credentials are never sent.
  if (scheme != 0) return d.gatewayFailure("HTTP authentication scheme not supported");
  if (!d.easy) return 0;
  CURLcode rc = curl_easy_setopt(d.easy.get(), CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_NONE));
  if (rc != CURLE_OK) return d.transportFailure(rc, nullptr);
  d.noAuthScheme = true;
  return 0;
}

int ZuInternetGateway::setKeepAlive(bool enable, long idleSeconds, long intervalSeconds) {
  Impl& d = *m_impl;
  if (!d.easy) return d.gatewayFailure("gateway not initialized");
  // Tried on the handle now, so that a value libcurl refuses is reported here.
  CURLcode rc = curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPALIVE, enable ? 1L : 0L);
  if (rc == CURLE_OK && enable)
    rc = curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPIDLE, idleSeconds);
  if (rc == CURLE_OK && enable)
    rc = curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPINTVL, intervalSeconds);
  if (rc != CURLE_OK) {
    // Fall back to the previous settings on the handle.
    curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPALIVE, d.keepAlive ? 1L : 0L);
    if (d.keepAlive) {
      curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPIDLE, d.keepIdleSeconds);
      curl_easy_setopt(d.easy.get(), CURLOPT_TCP_KEEPINTVL, d.keepIntervalSeconds);
    }
    return d.transportFailure(rc, "keep-alive setting refused");
  }
  d.keepAlive = enable;
  if (enable) {
    d.keepIdleSeconds = idleSeconds;
    d.keepIntervalSeconds = intervalSeconds;
  }
  return 0;
}

void ZuInternetGateway::setSecured(bool verify) { m_impl->verifyPeer = verify; }

void ZuInternetGateway::setSendPaced(int sharers) {
  m_impl->pacedSharers = sharers < 0 ? 0 : sharers;
}

void ZuInternetGateway::setMaxReplyBytes(long long bytes) {
  m_impl->maxReplyBytes = bytes < 0 ? 0 : bytes;
}

bool ZuInternetGateway::replyTooLarge() const { return m_impl->sink.capExceeded; }
void ZuInternetGateway::setConnectionReuse(bool enable) { m_impl->reuse = enable; }
void ZuInternetGateway::setProxy(const std::string& proxyUrl, const std::string& bypass) {
  m_impl->proxyUrl = proxyUrl;
  m_impl->bypass = bypass;
}

int ZuInternetGateway::connect() {
  Impl& d = *m_impl;
  d.clearOutcome();
  if (d.noTransport) return d.gatewayFailure("gateway has no transport");
  if (!d.easy) return d.gatewayFailure("gateway not initialized");
  const std::string& url = m_base.getURL();
  if (url.empty()) return d.gatewayFailure("no URL set");
  if (HasControlCharacter(url))
    return d.gatewayFailure("no connection made: the URL holds a control character");

  if (d.reuse && !d.share && pool::Active()) {
    const std::string origin = pool::OriginOf(url);
    if (!origin.empty()) {
      if (d.takeIdleConnection(origin)) return 0;
      d.joinShare();
      if (d.share) return d.sharedProbe(url, origin);
    }
  }
  return d.probe(url);
}

int ZuInternetGateway::disConnet() {
  Impl& d = *m_impl;
  d.releaseHandle();  // closes the cached connection or pools it
  std::string().swap(d.sink.body);
  d.source = ReadSource();
  return 0;
}

int ZuInternetGateway::doPostOperation(const std::string& url, const std::string& body,
                                       std::string& response, ZuCURL::commandInfoList headers) {
  if (body.size() > static_cast<size_t>(LONG_MAX)) {
    m_impl->clearOutcome();
    return m_impl->gatewayFailure("request body too large");
  }
  return m_impl->perform(Method::Post, url, body.data(), static_cast<long>(body.size()), response,
                         headers);
}

int ZuInternetGateway::doPostOperation(const std::string& url, const char* data, long length,
                                       std::string& response, ZuCURL::commandInfoList headers) {
  return m_impl->perform(Method::Post, url, data, length, response, headers);
}

int ZuInternetGateway::doPutOperation(const std::string& url, const char* data, long length,
                                      std::string& response, ZuCURL::commandInfoList headers) {
  return m_impl->perform(Method::Put, url, data, length, response, headers);
}

int ZuInternetGateway::doGetOperation(const std::string& url, std::string& response,
                                      ZuCURL::commandInfoList headers) {
  return m_impl->perform(Method::Get, url, nullptr, 0, response, headers);
}

int ZuInternetGateway::Impl::perform(Method method, const std::string& url, const char* data,
                                     long length, std::string& response,
                                     const ZuCURL::commandInfoList& headers) {
  Impl& d = *this;
  d.clearOutcome();
  if (d.noTransport) return d.gatewayFailure("gateway has no transport");
  if (!d.easy) return d.gatewayFailure("gateway not initialized");
  if (length < 0 || (length > 0 && data == nullptr))
    return d.gatewayFailure("invalid request body");
  // One check for every caller: nothing leaves when a header or the URL could
  // split the request.
  const std::string refused = RefusedRequestText(url, headers);
  if (!refused.empty()) {
    response.clear();
    return d.gatewayFailure(refused);
  }

  HeaderList list;
  if (!BuildHeaderList(headers, method, list))
    return d.transportFailure(CURLE_OUT_OF_MEMORY, nullptr);
  if (!d.renewUnusableHandle())
    return d.transportFailure(CURLE_FAILED_INIT, "cannot create a curl handle");

  CURL* h = d.easy.get();
  d.errorBuffer[0] = '\0';
  const bool paced = d.pacedSharers > 0 && length > 0 && zu::SendPacer::Global().Rate() > 0;
  d.source = ReadSource{data, static_cast<size_t>(length), 0, paced};
  d.sink.body.clear();
  d.sink.cap = ZuInternetGateway::Limits().maxReplyBytes;
  if (d.maxReplyBytes > 0 && d.maxReplyBytes < d.sink.cap) d.sink.cap = d.maxReplyBytes;
  d.sendGuard = SendGuard();

  CURLcode rc = curl_easy_setopt(h, CURLOPT_ERRORBUFFER, d.errorBuffer);
  if (rc == CURLE_OK) rc = d.applyCommonOptions(h, url, length);
  if (rc == CURLE_OK) rc = d.applyRequestOptions(h, list.get());
  if (rc == CURLE_OK) rc = ApplyBodyOptions(h, method, paced, data, length);
  if (rc == CURLE_OK) {
    rc = curl_easy_perform(h);
  } else {
    d.errorBuffer[0] = '\0';
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  d.lastStatus = static_cast<int>(status);
  // The handle must not keep pointers to the list or the caller's buffer,
  // and the next request on it is no HEAD.
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
  curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
  d.source = ReadSource();

  response.swap(d.sink.body);
  d.sink.body.clear();
  return d.outcome(url, rc, status);
}

std::string ZuInternetGateway::getErrorMsg() { return m_impl->errorMsg; }

void ZuInternetGateway::getLastServerResponseCode(int& status) { status = m_impl->lastStatus; }

void ZuInternetGateway::getLastCurlErrorCodeAndErrorMsg(int& code, std::string& text) {
  code = m_impl->lastCurlCode;
  text = m_impl->lastCurlText;
}

int ZuInternetGateway::doHeadOperation(const std::string& url,
                                       ZuCURL::commandInfoList& replyHeaders,
                                       ZuCURL::commandInfoList headers) {
  std::string unused;
  const int result = m_impl->perform(Method::Head, url, nullptr, 0, unused, headers);
  replyHeaders = m_impl->replyHeaders;
  return result;
}

std::string ZuInternetGateway::getLastReplyHeader(const std::string& name) {
  for (const auto& header : m_impl->replyHeaders) {
    if (FXString::EqualsNoCase(header.name, name)) return header.value;
  }
  return std::string();
}

}  // namespace LIBCURL
