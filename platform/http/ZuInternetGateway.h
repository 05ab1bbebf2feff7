// HTTP client used by every cloud operation (libcurl underneath).
//
// One gateway serves one operation: construct, initialize, set URL and
// credentials, configure keep-alive and certificate checks, connect, send any
// number of requests (each with its own URL) over the same connection, then
// disConnet and delete. A gateway is used by one thread at a time.
//
// Every int result is 0 for success. A request succeeds when the transfer
// completed and the HTTP status is 2xx; any other status is a failure with
// the reply body still returned in `response`.
//
// A request whose URL holds a control character (NUL included), or with a
// header whose name or value holds CR, LF or NUL, is refused before any byte
// leaves: such a value could end the header early and smuggle another header
// or a whole request onto the connection.
#ifndef ZUCLOUD_PLATFORM_ZU_INTERNET_GATEWAY_H
#define ZUCLOUD_PLATFORM_ZU_INTERNET_GATEWAY_H

#include <ctime>
#include <list>
#include <memory>
#include <string>

class EvDebug;

namespace ZuCURL {

// One request header.
struct commandInfo {
  std::string name;
  std::string value;

  commandInfo() = default;
  commandInfo(std::string headerName, std::string headerValue)
      : name(std::move(headerName)), value(std::move(headerValue)) {}
};

using commandInfoList = std::list<commandInfo>;

}  // namespace ZuCURL

namespace LIBCURL {

// Limits that keep a request from hanging or exhausting memory. Process-wide;
// tests shorten them.
struct GatewayLimits {
  long connectTimeoutSeconds = 30;
  // A transfer moving fewer than lowSpeedBytesPerSecond on average for this
  // long is aborted (a stalled or trickling request). Values below 1 count
  // as 1.
  long stallSeconds = 120;
  long lowSpeedBytesPerSecond = 1024;
  // A reply body larger than this fails the request.
  long long maxReplyBytes = 64LL * 1024 * 1024;
  // Overall deadline of one request (connect, send, reply): this allowance
  // plus the time the request body takes at deadlineMinBytesPerSecond. A
  // server that trickles bytes just fast enough to pass the stall guard
  // still ends the request in bounded time. Values below 1 count as 1.
  long deadlineBaseSeconds = 600;
  long long deadlineMinBytesPerSecond = 4096;
};

// URL and URL credentials of a gateway.
class ZuInternetBase {
 public:
  void setURL(const std::string& url) { m_url = url; }
  void setURLUserName(const std::string& name) { m_userName = name; }
  void setURLPassword(const std::string& password) { m_password = password; }
  const std::string& getURL() const { return m_url; }
  const std::string& getURLUserName() const { return m_userName; }
  const std::string& getURLPassword() const { return m_password; }

 private:
  std::string m_url;
  std::string m_userName;
  std::string m_password;
};

// True when the last request this thread handed to a gateway since the
// last Clear was refused by the gateway itself before anything was sent (a
// header or URL that could split the request, a gateway without transport
// or not initialized, an invalid body): asking again would only be refused
// again. The retry loop clears it before each attempt and reads it after.
bool RequestRefusedOnThisThread();
// True when the last request this thread handed to a gateway since the
// last Clear went out over a reused connection that closed before the first
// byte of the reply: the server may have carried it out. libcurl would send
// such a request again by itself; the gateway does not, so the caller
// learns of it and decides (the result is curl error 52, as for a server
// that closes a new connection without a reply).
bool ReplyLostOnThisThread();
// Sets that flag; the gateway calls it, and so may a gateway of a test
// that plays a lost reply.
void NoteReplyLostOnThisThread();
// True when the last request this thread handed to a gateway since the
// last Clear ran until its overall deadline (GatewayLimits): the link
// moved its bytes, only too slowly for the request to finish in time.
bool DeadlineReachedOnThisThread();
void NoteDeadlineReachedOnThisThread();
// The Retry-After header of the refusal that the last request this thread
// handed to a gateway since the last Clear got, as the server wrote it, and
// the time that reply came; an empty value when it had none. The retry
// policy reads the wait from it (session/RetryAfter.h).
struct RetryAfterNote {
  std::string value;
  std::time_t receivedAt = 0;
};
RetryAfterNote RetryAfterHeaderOnThisThread();
void NoteRetryAfterHeaderOnThisThread(const RetryAfterNote& note);
// Clears the flags above.
void ClearRequestRefusedOnThisThread();

class ZuInternetGateway {
 public:
  explicit ZuInternetGateway(EvDebug* log);
  virtual ~ZuInternetGateway();
  ZuInternetGateway(const ZuInternetGateway&) = delete;
  ZuInternetGateway& operator=(const ZuInternetGateway&) = delete;

  static void SetLimits(const GatewayLimits& limits);
  static GatewayLimits Limits();
  // The deadline of a request with a body of `bodyBytes` under `limits`, in
  // milliseconds (at most LONG_MAX).
  static long RequestDeadlineMs(const GatewayLimits& limits, long long bodyBytes);

  // Protocol type 3 is HTTP(S); job type 0 is a plain request/reply job.
  virtual int initialize(int protocolType, int jobType);

  virtual void setURL(const std::string& url);
  virtual void setURLUserName(const std::string& name);
  virtual void setURLPassword(const std::string& password);
  // 0 selects no HTTP authentication scheme: URL credentials are never sent.
  virtual int setHTTPAuthentication(long scheme);
  virtual int setKeepAlive(bool enable, long idleSeconds, long intervalSeconds);
  // true: verify the server certificate and host name; false: skip both.
  virtual void setSecured(bool verify);
  // Request bodies of this gateway carry file bytes: they pass through the
  // process's send pacer (zu::SendPacer) while it has a rate, and up to
  // `sharers` such requests share that rate (the deadline allows for it).
  // 0 (the default) sends bodies unpaced.
  virtual void setSendPaced(int sharers);
  // Caps the reply bodies of this gateway's requests at `bytes` when that is
  // below the process-wide GatewayLimits::maxReplyBytes; 0 (the default)
  // keeps that limit. A reply past the cap fails its request.
  virtual void setMaxReplyBytes(long long bytes);
  // True when the last request failed because its reply passed the cap.
  virtual bool replyTooLarge() const;
  // The proxy of this gateway's requests: `proxyUrl` (http:// or https://,
  // credentials allowed as user:password@, sent only to the proxy) and
  // `bypass`, hosts reached directly (libcurl's no-proxy list: names,
  // domains, addresses, "*" for all). An empty value leaves that part to
  // the environment (http_proxy, HTTPS_PROXY or https_proxy, ALL_PROXY,
  // NO_PROXY), as libcurl reads it. Connections are pooled per proxy.
  virtual void setProxy(const std::string& proxyUrl, const std::string& bypass);
  // true: the gateway takes its connection from the process's connection
  // pool when one to the URL's origin is idle there, and hands it back on
  // disConnet() (see ConnectionPool.h); false (the default): its
  // connections are its own and close with it.
  virtual void setConnectionReuse(bool enable);

  // Opens the connection to the URL's host; non-zero when it is unreachable.
  // With connection reuse, a connection from the pool or a request to the
  // same origin moments ago stands for the check.
  virtual int connect();
  virtual int disConnet();

  virtual int doPostOperation(const std::string& url, const std::string& body,
                              std::string& response, ZuCURL::commandInfoList headers);
  // Sends `length` bytes from `data` without copying them; length 0 sends no
  // body.
  virtual int doPostOperation(const std::string& url, const char* data, long length,
                              std::string& response, ZuCURL::commandInfoList headers);
  virtual int doPutOperation(const std::string& url, const char* data, long length,
                             std::string& response, ZuCURL::commandInfoList headers);
  // GET without a body; the reply body comes back in `response`.
  virtual int doGetOperation(const std::string& url, std::string& response,
                             ZuCURL::commandInfoList headers);

  // Text of the last failure (empty after a success).
  virtual std::string getErrorMsg();
  virtual void getLastServerResponseCode(int& status);
  // Transport code of the last failure (0 = none) and its text.
  virtual void getLastCurlErrorCodeAndErrorMsg(int& code, std::string& text);

  const ZuInternetBase& base() const { return m_base; }

 protected:
  // Constructor for test doubles that never touch the network.
  struct NoTransport {};
  ZuInternetGateway(EvDebug* log, NoTransport);

 private:
  struct Impl;
  ZuInternetBase m_base;
  // The service log the gateway is bound to; the gateway itself writes
  // nothing (its errors reach the log through the callers).
  [[maybe_unused]] EvDebug* m_log;
  std::unique_ptr<Impl> m_impl;

 public:
  // HEAD: the status and headers of the reply, no body (Get Blob
  // Properties). `replyHeaders` receives the final reply's headers in order,
  // each value without its leading blanks and line end; results as for the
  // other requests.
  virtual int doHeadOperation(const std::string& url, ZuCURL::commandInfoList& replyHeaders,
                              ZuCURL::commandInfoList headers);
  // The value of reply header `name` (any letter case) of the last
  // request's final reply, or "" when it had none (an error reply's
  // "x-ms-error-code", say).
  virtual std::string getLastReplyHeader(const std::string& name);
};

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_ZU_INTERNET_GATEWAY_H
