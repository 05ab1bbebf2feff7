// HTTP gateway on libcurl.
//
// Design notes:
// - One easy handle per gateway, created by initialize() and released by
//   disConnet() or the destructor. Every request goes through that handle, so
//   libcurl's per-handle connection cache keeps the connection to the host
//   open between the requests of one gateway.
// - connect() is a reachability probe: a short-lived, separate easy handle
//   with CURLOPT_CONNECT_ONLY and the same options (time-outs, TLS checks)
//   opens a connection to the URL's host (TCP, plus the TLS handshake for
//   https) and closes it again. libcurl never reuses a CONNECT_ONLY connection
//   for a transfer, so the probe's connection is not reused; the first request
//   opens the connection that the later requests share.
// - With connection reuse on (setConnectionReuse) and the pool active
//   (ConnectionPool.h), connect() first takes an idle handle of the pool for
//   the URL's origin and the gateway's security settings: when its
//   connection, made by an earlier gateway, is still open it is used as it
//   is, without a probe. A connection the server closed is dropped and the
//   origin counts as unchecked. Without a live one, the gateway's own handle
//   joins the pool's TLS session and DNS share, and the probe is left out
//   when a request to that origin completed within the pool's idle limit
//   (the server was reachable moments ago; the probe would only cost a
//   connection that no request uses). Otherwise the probe runs as above,
//   its handshake cached for the request's connection, one at a time per
//   origin: gateways that connect while another's probe to the same origin
//   is in flight (the uploader threads of a file, all at once) wait for it
//   and report its outcome, failure included, as their own, instead of
//   each paying a connection and a full TLS handshake for the same answer.
//   disConnet() then hands the handle, with its open connection, back to the
//   pool, unless its last request failed in transport. A connection is
//   handed out, or used for a gateway's next request, only when nothing has
//   arrived on it since its last reply (pool::CheckConnection): a closed or
//   half-closed connection, or one holding a reply nobody asked for, is
//   closed with its handle instead.
// - No request goes out twice unseen. libcurl sends a request again by
//   itself when a reused connection closes before the first reply byte; the
//   server may have carried the first copy out. A pre-request callback
//   refuses that second start, and the request fails with curl error 52
//   (ReplyLostOnThisThread tells the retry policy).
// - Descriptors are close-on-exec: connection sockets through the
//   open-socket callback, libcurl's own socket pair per handle through
//   NewEasyHandle (CloseOnExec.h).
// - Options are (re)applied before every transfer from the settings held in
//   Impl, so each setopt result is checked at one place and a refused option
//   fails the request instead of being silently ignored.
// - The URL user name and password are stored on the base only. The gateway
//   never sends them (no CURLOPT_USERPWD, no authentication scheme), so they
//   can reach neither a plain http server nor an https one.
// - Results: 0 for success; a transport failure returns its CURLcode, a
//   completed request with a non-2xx status returns that status, and a call
//   the gateway refuses by itself (not initialized, no URL, bad arguments,
//   a NoTransport gateway) returns -1. getErrorMsg() reads "curl error N: ..."
//   or "HTTP status N" or the gateway's own text.
// - Every request checks its URL and headers before anything is sent (see
//   RefusedRequestText): libcurl passes header lines through as given, so a
//   CR or LF in a value would let a server-supplied token add headers or a
//   whole second request, and a NUL would silently cut the value.
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
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "platform/host/Env.h"
#include "platform/http/CloseOnExec.h"
#include "platform/http/ConnectionPool.h"
#include "platform/http/SendPacer.h"
#include "platform/text/FXString.h"
#include "platform/threads/ZuSync.h"

namespace LIBCURL {

namespace {

constexpr int kProtocolHttp = 3;
constexpr int kJobRequestReply = 0;
// Result of a call the gateway refuses by itself (no handle, bad argument).
constexpr int kGatewayFailure = -1;

// Set by a request the gateway refused to send (see RequestRefusedOnThisThread).
thread_local bool t_requestRefused = false;
// Set by a request whose reused connection closed before any reply byte
// (see ReplyLostOnThisThread).
thread_local bool t_replyLost = false;
// The Retry-After of the last refused request (see RetryAfterOnThisThread).
thread_local long t_retryAfterSeconds = 0;
// Set by a request that ran until its deadline (DeadlineReachedOnThisThread).
thread_local bool t_deadlineReached = false;
constexpr const char* kReplyLostText =
    "the connection closed before the reply; the request may have been carried out and was not "
    "sent again";
// Directory of hashed system CA certificates (Debian's ca-certificates).
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
// libcurl's piece size for request bodies (CURLOPT_UPLOAD_BUFFERSIZE).
constexpr long kUploadBufferBytes = 512L * 1024L;

zu::Mutex g_limitsMutex;
GatewayLimits g_limits GUARDED_BY(g_limitsMutex);

std::once_flag g_globalInitOnce;
CURLcode g_globalInitResult = CURLE_FAILED_INIT;

CURLcode GlobalInit() {
  std::call_once(g_globalInitOnce,
                 [] { g_globalInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return g_globalInitResult;
}

bool IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Source of an upload body: the caller's buffer, read in place.
struct ReadSource {
  const char* data = nullptr;
  size_t length = 0;
  size_t offset = 0;
  bool paced = false;  // each piece waits for the process's send pacer
};

// Sink of a reply body, bounded by the reply cap.
struct WriteSink {
  std::string body;
  long long cap = 0;
  bool capExceeded = false;
};

size_t ReadCallback(char* buffer, size_t size, size_t nitems, void* userdata) {
  auto* src = static_cast<ReadSource*>(userdata);
  size_t room = size * nitems;
  size_t left = src->length - src->offset;
  size_t n = left < room ? left : room;
  if (n > 0) {
    if (src->paced) zu::SendPacer::Global().Acquire(n);
    std::memcpy(buffer, src->data + src->offset, n);
    src->offset += n;
  }
  return n;
}

size_t WriteCallback(char* ptr, size_t size, size_t nmemb, void* userdata) {
  auto* sink = static_cast<WriteSink*>(userdata);
  size_t n = size * nmemb;
  if (static_cast<long long>(sink->body.size() + n) > sink->cap) {
    sink->capExceeded = true;
    return 0;  // makes libcurl abort the transfer with CURLE_WRITE_ERROR
  }
  sink->body.append(ptr, n);
  return n;
}

// Collects the header lines of a reply as name and value; a status line
// (of an interim reply, or the final one) starts the list afresh.
size_t HeaderCallback(char* data, size_t size, size_t nitems, void* userdata) {
  auto* headers = static_cast<ZuCURL::commandInfoList*>(userdata);
  const size_t n = size * nitems;
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    headers->clear();
    return n;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return n;
  const size_t value = line.find_first_not_of(" \t", colon + 1);
  headers->emplace_back(line.substr(0, colon),
                        value == std::string::npos ? std::string() : line.substr(value));
  return n;
}

// Refuses rewinds other than to the start of the caller's buffer.
int SeekCallback(void* userdata, curl_off_t offset, int origin) {
  auto* src = static_cast<ReadSource*>(userdata);
  if (origin != SEEK_SET || offset < 0 || static_cast<unsigned long long>(offset) > src->length)
    return CURL_SEEKFUNC_CANTSEEK;
  src->offset = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// One transfer's requests as libcurl starts them. libcurl sends a request
// again by itself, on a new connection, when a reused connection closes
// before the first byte of the reply; the server may have carried the first
// copy out. The second start is refused, so the transfer fails and the
// caller's retry policy decides, with its own log lines.
struct SendGuard {
  int starts = 0;
  bool resendRefused = false;
};

int PrereqCallback(void* userdata, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/,
                   int /*localPort*/) {
  auto* guard = static_cast<SendGuard*>(userdata);
  if (++guard->starts > 1) {
    guard->resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// Every connection socket is close-on-exec: a process the host starts does
// not inherit the pool's connections.
curl_socket_t OpenSocketCallback(void* /*userdata*/, curlsocktype /*purpose*/,
                                 struct curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

enum class Method { Get, Post, Put, Head };

bool HasHeaderBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Why a request must not be sent, or "" when it may. The texts name no
// header value and no URL: either may carry a secret.
std::string RefusedRequestText(const std::string& url, const ZuCURL::commandInfoList& headers) {
  if (HasControlCharacter(url)) return "request not sent: the URL holds a control character";
  for (const auto& h : headers) {
    if (HasHeaderBreak(h.name)) return "request not sent: a header name holds CR, LF or NUL";
    if (HasHeaderBreak(h.value))
      return "request not sent: the value of header [" + h.name + "] holds CR, LF or NUL";
  }
  return std::string();
}

// Owns an easy handle.
struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

// Owns the header list of one request.
class HeaderList {
 public:
  HeaderList() = default;
  ~HeaderList() { curl_slist_free_all(m_list); }
  HeaderList(const HeaderList&) = delete;
  HeaderList& operator=(const HeaderList&) = delete;

  // Appends one line; once an append failed (out of memory) every later one
  // does nothing and ok() stays false.
  void append(const std::string& line) {
    if (!m_ok) return;
    curl_slist* next = curl_slist_append(m_list, line.c_str());
    if (next == nullptr) {
      m_ok = false;
      return;
    }
    m_list = next;
  }
  bool ok() const { return m_ok; }
  curl_slist* get() const { return m_list; }

 private:
  curl_slist* m_list = nullptr;
  bool m_ok = true;
};

// The caller's headers in order, then suppression of the headers libcurl
// would add on its own ("Expect: 100-continue" for large bodies, a form
// Content-Type for POST) unless the caller gave them.
void BuildHeaderList(const ZuCURL::commandInfoList& headers, Method method, HeaderList& list) {
  bool haveExpect = false;
  bool haveContentType = false;
  for (const auto& h : headers) {
    if (FXString::EqualsNoCase(h.name, "Expect")) haveExpect = true;
    if (FXString::EqualsNoCase(h.name, "Content-Type")) haveContentType = true;
    // "name;" is libcurl's spelling of a header with an empty value.
    list.append(h.value.empty() ? h.name + ";" : h.name + ": " + h.value);
  }
  if (!haveExpect) list.append("Expect:");
  if (!haveContentType && method == Method::Post) list.append("Content-Type:");
}

// Sets the options that select the method and hand over the body; returns
// the first option libcurl refuses.
CURLcode ApplyBodyOptions(CURL* h, Method method, bool paced, const char* data, long length) {
  CURLcode rc = CURLE_OK;
  auto set = [&rc, h](CURLoption opt, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
  };
  if (method == Method::Post && paced) {
    // A paced POST body goes through the read callback like a PUT body.
    set(CURLOPT_UPLOAD, 0L);
    set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
  } else if (method == Method::Post) {
    // POSTFIELDS points at the caller's buffer; libcurl does not copy it.
    static const char kEmpty[] = "";
    set(CURLOPT_UPLOAD, 0L);
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    set(CURLOPT_POSTFIELDS, length > 0 ? data : kEmpty);
  } else if (method == Method::Get || method == Method::Head) {
    // HTTPGET resets the handle from POST or PUT of an earlier request.
    set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    set(CURLOPT_UPLOAD, 0L);
    set(CURLOPT_HTTPGET, 1L);
    if (method == Method::Head) set(CURLOPT_NOBODY, 1L);
  } else {
    // Setting POSTFIELDS selects POST, so it is cleared before UPLOAD
    // selects PUT.
    set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
    set(CURLOPT_POST, 0L);
    set(CURLOPT_UPLOAD, 1L);
    set(CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
  }
  return rc;
}

}  // namespace

struct ZuInternetGateway::Impl {
  bool noTransport = false;
  // The pool's share the handle is attached to (null when not pooled);
  // declared before the handle so that the handle is cleaned up first.
  std::shared_ptr<SharedCache> share;
  EasyHandle easy;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // Settings, applied before each transfer.
  bool verifyPeer = true;
  bool keepAlive = false;
  long keepIdleSeconds = 60;
  long keepIntervalSeconds = 60;
  std::string caFile;           // ZUCLOUD_CA_FILE, read by initialize()
  int pacedSharers = 0;         // see setSendPaced
  long long maxReplyBytes = 0;  // see setMaxReplyBytes
  bool noAuthScheme = false;    // setHTTPAuthentication(0) was called
  bool reuse = false;           // see setConnectionReuse
  std::string proxyUrl;         // see setProxy
  std::string bypass;
  long deadlineMs = 0;  // of the request under way

  // Pool bookkeeping: the security key the handle was pooled under, and
  // the origin of the last request when it completed (empty otherwise).
  std::string poolKey;
  std::string lastOrigin;

  // Outcome of the last operation.
  std::string errorMsg;
  int lastStatus = 0;
  int lastCurlCode = 0;
  std::string lastCurlText;

  ReadSource source;
  WriteSink sink;
  SendGuard sendGuard;
  ZuCURL::commandInfoList replyHeaders;  // of the last request's final reply

  void clearOutcome() {
    sink.capExceeded = false;
    errorMsg.clear();
    lastStatus = 0;
    lastCurlCode = 0;
    lastCurlText.clear();
  }

  // Records a transport failure; returns the value the operation returns.
  // `from`: the handle that failed, when not the gateway's own.
  int transportFailure(CURLcode code, const char* detail, CURL* from = nullptr) {
    lastCurlCode = static_cast<int>(code);
    lastCurlText = (detail && *detail) ? detail : curl_easy_strerror(code);
    // curl's text of a failed connect ("Couldn't connect to server") leaves
    // out the system's reason; "Connection refused" and its like follow it.
    if (from == nullptr) from = easy.get();
    long osError = 0;
    if (from != nullptr && curl_easy_getinfo(from, CURLINFO_OS_ERRNO, &osError) == CURLE_OK &&
        osError != 0) {
      char buffer[128] = {};
      const std::string reason = strerror_r(static_cast<int>(osError), buffer, sizeof buffer);
      if (lastCurlText.find(reason) == std::string::npos) lastCurlText += " (" + reason + ")";
    }
    errorMsg = "curl error " + std::to_string(lastCurlCode) + ": " + lastCurlText;
    return lastCurlCode;
  }

  int gatewayFailure(const std::string& text) {
    errorMsg = text;
    t_requestRefused = true;
    return kGatewayFailure;
  }

  // What two handles must agree on to share a connection: certificate
  // checks, the CA file and the keep-alive settings.
  std::string securityKey() const {
    return std::string(verifyPeer ? "verify" : "noverify") + '|' + caFile + '|' +
           (keepAlive ? std::to_string(keepIdleSeconds) + ',' + std::to_string(keepIntervalSeconds)
                      : std::string("nokeepalive")) +
           '|' + proxyUrl + '|' + bypass;
  }

  // Attaches the pool's share for the current settings to the handle; on
  // any refusal the gateway simply works unpooled.
  void joinShare() {
    if (share || !easy) return;
    std::shared_ptr<SharedCache> cache = pool::Share(securityKey());
    if (!cache) return;
    if (curl_easy_setopt(easy.get(), CURLOPT_SHARE, pool::ShareHandle(*cache)) != CURLE_OK) return;
    share = std::move(cache);
    poolKey = securityKey();
  }

  // Releases the handle: back to the pool with its connection when the
  // last request completed and the settings are the ones it was pooled
  // under, else closed.
  void releaseHandle() {
    if (easy && share && !lastOrigin.empty() && poolKey == securityKey()) {
      CURL* handle = easy.release();
      // Forgets every option (and pointer into this gateway) but keeps the
      // connections and the share.
      curl_easy_reset(handle);
      pool::GiveBack(poolKey, lastOrigin, handle, std::move(share));
    }
    easy.reset();
    share.reset();
    lastOrigin.clear();
  }

  // Before a request on a handle that already served one: a connection
  // that the peer closed, or that holds bytes nobody asked for, is closed
  // with its handle; the request goes out on a new handle (same share, and
  // every option is set again per request).
  bool renewUnusableHandle() {
    if (pool::CheckConnection(easy.get()) != pool::ConnectionCheck::kUnusable) return true;
    easy.reset(NewEasyHandle());
    if (!easy) return false;
    if (share && curl_easy_setopt(easy.get(), CURLOPT_SHARE, pool::ShareHandle(*share)) != CURLE_OK)
      share.reset();
    return true;
  }

  // Options shared by the request handle and the connect probe. Returns the
  // first option libcurl refuses.
  CURLcode applyCommonOptions(CURL* h, const std::string& url, long long bodyBytes) {
    GatewayLimits limits = ZuInternetGateway::Limits();
    CURLcode rc = CURLE_OK;
    auto set = [&rc, h](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
    };
    set(CURLOPT_URL, url.c_str());
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_OPENSOCKETFUNCTION, &OpenSocketCallback);
    set(CURLOPT_FOLLOWLOCATION, 0L);
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0
    set(CURLOPT_PROTOCOLS_STR, "http,https");
#else
    set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    set(CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, std::max(limits.lowSpeedBytesPerSecond, 1L));
    set(CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
    const long lifetime = static_cast<long>(
        zu::Env::Current()
            ->ConnectionLifetime(std::chrono::seconds(pool::kMaxConnectionAgeSeconds))
            .count());
    set(CURLOPT_MAXLIFETIME_CONN, std::max(lifetime, 1L));
    // An explicit proxy or bypass list replaces the environment's; none
    // leaves libcurl's reading of the environment.
    set(CURLOPT_PROXY, proxyUrl.empty() ? static_cast<const char*>(nullptr) : proxyUrl.c_str());
    set(CURLOPT_NOPROXY, bypass.empty() ? static_cast<const char*>(nullptr) : bypass.c_str());
    if (pacedSharers > 0) {
      // A paced body may go no faster than its share of the cap.
      const unsigned long long share =
          zu::SendPacer::Global().Rate() / static_cast<unsigned long long>(pacedSharers);
      if (share > 0 && static_cast<long long>(share) < limits.deadlineMinBytesPerSecond) {
        limits.deadlineMinBytesPerSecond = static_cast<long long>(share);
      }
    }
    deadlineMs = ZuInternetGateway::RequestDeadlineMs(limits, bodyBytes);
    set(CURLOPT_TIMEOUT_MS, deadlineMs);
    if (noAuthScheme) set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_NONE));
    if (share) set(CURLOPT_MAXAGE_CONN, pool::kMaxIdleSeconds);
    set(CURLOPT_TCP_KEEPALIVE, keepAlive ? 1L : 0L);
    if (keepAlive) {
      set(CURLOPT_TCP_KEEPIDLE, keepIdleSeconds);
      set(CURLOPT_TCP_KEEPINTVL, keepIntervalSeconds);
    }
    set(CURLOPT_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);
    set(CURLOPT_SSL_VERIFYHOST, verifyPeer ? 2L : 0L);
    // An https proxy is checked as the server is.
    set(CURLOPT_PROXY_SSL_VERIFYPEER, verifyPeer ? 1L : 0L);
    set(CURLOPT_PROXY_SSL_VERIFYHOST, verifyPeer ? 2L : 0L);
    if (!caFile.empty()) {
      // CAINFO replaces the built-in bundle; the hashed system directory
      // keeps the system's CAs trusted beside the extra bundle (OpenSSL
      // consults both).
      set(CURLOPT_CAINFO, caFile.c_str());
      set(CURLOPT_PROXY_CAINFO, caFile.c_str());
      if (IsDirectory(kSystemCaPath)) set(CURLOPT_CAPATH, kSystemCaPath);
    }
    return rc;
  }

  // Takes an idle handle of the pool for `origin` and the current settings
  // whose connection is still clean; true when the gateway now holds one.
  // One the server closed while it waited (gone for good, or only an idle
  // limit of its own: the probe tells which), or that holds bytes nobody
  // asked for, is closed and the origin counts as unchecked.
  bool takeIdleConnection(const std::string& origin) {
    std::shared_ptr<SharedCache> cache;
    CURL* idle = static_cast<CURL*>(pool::TakeIdle(securityKey(), origin, cache));
    if (idle == nullptr) return false;
    if (pool::CheckConnection(idle) == pool::ConnectionCheck::kClean) {
      easy.reset(idle);
      share = std::move(cache);
      poolKey = securityKey();
      return true;
    }
    curl_easy_cleanup(idle);
    cache.reset();
    pool::MarkReached(securityKey(), origin, false);
    return false;
  }
  // The reachability probe: a separate CONNECT_ONLY handle with the common
  // options opens a connection to the URL's host and closes it again.
  int probe(const std::string& url);
  // The probe of a pooled gateway: one per security key and origin at a
  // time (pool::BeginProbe); a gateway that finds another's in flight
  // reports that one's outcome as its own.
  int sharedProbe(const std::string& url, const std::string& origin);

  // One request on the gateway's handle; the body is read from `data` in
  // place.
  // The options of one request beyond the common ones (callbacks, their
  // data, the header list); returns the first option libcurl refuses.
  CURLcode applyRequestOptions(CURL* h, curl_slist* list);
  // The result of a request that ended with `rc` and `status`.
  int outcome(const std::string& url, CURLcode rc, long status);
  // The request just failed went out on a connection an earlier request
  // left open, and not a byte of its reply came back.
  bool reusedBeforeAnyReply() {
    long connects = -1;
    long code = -1;
    return curl_easy_getinfo(easy.get(), CURLINFO_NUM_CONNECTS, &connects) == CURLE_OK &&
           connects == 0 &&
           curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code) == CURLE_OK && code == 0 &&
           replyHeaders.empty() && sink.body.empty();
  }

  int perform(Method method, const std::string& url, const char* data, long length,
              std::string& response, const ZuCURL::commandInfoList& headers);
};

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

int ZuInternetGateway::Impl::probe(const std::string& url) {
  EasyHandle handle(NewEasyHandle());
  if (!handle) return transportFailure(CURLE_FAILED_INIT, "cannot create a curl handle");
  char probeError[CURL_ERROR_SIZE] = {};
  CURLcode rc = curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, probeError);
  // The probe's DNS answer and TLS session go to the share, so the
  // request's own connection needs neither a lookup nor a full handshake.
  if (rc == CURLE_OK && share)
    rc = curl_easy_setopt(handle.get(), CURLOPT_SHARE, pool::ShareHandle(*share));
  if (rc == CURLE_OK) rc = applyCommonOptions(handle.get(), url, 0);
  if (rc == CURLE_OK) rc = curl_easy_setopt(handle.get(), CURLOPT_CONNECT_ONLY, 1L);
  if (rc == CURLE_OK) {
    rc = curl_easy_perform(handle.get());
  } else {
    probeError[0] = '\0';
  }
  if (rc != CURLE_OK) return transportFailure(rc, probeError, handle.get());
  return 0;
}

int ZuInternetGateway::Impl::sharedProbe(const std::string& url, const std::string& origin) {
  pool::ProbeOutcome outcome;
  if (!pool::BeginProbe(poolKey, origin, outcome)) {
    // Reached moments ago, or another gateway's probe answered for this one.
    if (outcome.code == 0) return 0;
    return transportFailure(static_cast<CURLcode>(outcome.code), outcome.text.c_str());
  }
  // Ends the probe on every path, so that no waiter is left behind.
  struct Ending {
    const std::string& key;
    const std::string& origin;
    pool::ProbeOutcome outcome{CURLE_FAILED_INIT, "the reachability check did not finish"};
    ~Ending() { pool::EndProbe(key, origin, outcome); }
  } ending{poolKey, origin};
  const int result = probe(url);
  ending.outcome.code = result == 0 ? 0 : lastCurlCode;
  ending.outcome.text = result == 0 ? std::string() : lastCurlText;
  return result;
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

bool RequestRefusedOnThisThread() { return t_requestRefused; }
void ClearRequestRefusedOnThisThread() {
  t_requestRefused = false;
  t_replyLost = false;
  t_retryAfterSeconds = 0;
  t_deadlineReached = false;
}
long RetryAfterOnThisThread() { return t_retryAfterSeconds; }
void NoteRetryAfterOnThisThread(long seconds) { t_retryAfterSeconds = seconds; }
bool DeadlineReachedOnThisThread() { return t_deadlineReached; }
void NoteDeadlineReachedOnThisThread() { t_deadlineReached = true; }

long RetryAfterSeconds(const ZuCURL::commandInfoList& replyHeaders, std::time_t now) {
  for (const auto& header : replyHeaders) {
    if (!FXString::EqualsNoCase(header.name, "Retry-After")) continue;
    const std::string& value = header.value;
    if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
      // Seconds, as many digits as the server likes (leading zeros
      // included); anything longer than a day reads as a day.
      const std::string::size_type first = value.find_first_not_of('0');
      if (first == std::string::npos) return 0;
      const std::string digits = value.substr(first);
      return digits.size() > 6 ? 86400L : std::min(std::stol(digits), 86400L);
    }
    const std::time_t at = curl_getdate(value.c_str(), nullptr);
    if (at == static_cast<std::time_t>(-1) || at <= now) return 0;
    return static_cast<long>(std::min<std::time_t>(at - now, 86400));
  }
  return 0;
}
bool ReplyLostOnThisThread() { return t_replyLost; }
void NoteReplyLostOnThisThread() { t_replyLost = true; }

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
  BuildHeaderList(headers, method, list);
  if (!list.ok()) return d.transportFailure(CURLE_OUT_OF_MEMORY, nullptr);
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

CURLcode ZuInternetGateway::Impl::applyRequestOptions(CURL* h, curl_slist* list) {
  CURLcode rc = CURLE_OK;
  auto set = [&rc, h](CURLoption opt, auto value) {
    if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
  };
  replyHeaders.clear();
  set(CURLOPT_HTTPHEADER, list);
  set(CURLOPT_WRITEFUNCTION, &WriteCallback);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  set(CURLOPT_HEADERFUNCTION, &HeaderCallback);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&replyHeaders));
  set(CURLOPT_READFUNCTION, &ReadCallback);
  set(CURLOPT_READDATA, static_cast<void*>(&source));
  set(CURLOPT_SEEKFUNCTION, &SeekCallback);
  set(CURLOPT_SEEKDATA, static_cast<void*>(&source));
  set(CURLOPT_PREREQFUNCTION, &PrereqCallback);
  set(CURLOPT_PREREQDATA, static_cast<void*>(&sendGuard));
  // Bodies go to libcurl in pieces of this size (its default is 64 KiB):
  // fewer callbacks and larger writes to the socket.
  set(CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
  return rc;
}

int ZuInternetGateway::Impl::outcome(const std::string& url, CURLcode rc, long status) {
  if (share) {
    // A completed request leaves a connection worth pooling; a transport
    // failure makes the next gateway for this origin probe again.
    const std::string origin = pool::OriginOf(url);
    pool::MarkReached(poolKey, origin, rc == CURLE_OK);
    lastOrigin = rc == CURLE_OK ? origin : std::string();
  }
  if (rc != CURLE_OK) {
    if (sendGuard.resendRefused) {
      // The reused connection closed before the first reply byte; the
      // server may have carried the request out. Reported like a reply
      // that never came on a new connection.
      t_replyLost = true;
      return transportFailure(CURLE_GOT_NOTHING, kReplyLostText);
    }
    if (sink.capExceeded) {
      return transportFailure(rc,
                              ("reply larger than " + std::to_string(sink.cap) + " bytes").c_str());
    }
    if ((rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR) && reusedBeforeAnyReply()) {
      // A kept-alive connection reset as the request arrived: the same
      // story as a reply lost on it (the server may have carried the
      // request out), told with its own error.
      t_replyLost = true;
    }
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      curl_off_t spentUs = 0;
      if (curl_easy_getinfo(easy.get(), CURLINFO_TOTAL_TIME_T, &spentUs) == CURLE_OK &&
          spentUs / 1000 + 1000 >= deadlineMs) {
        t_deadlineReached = true;
      }
    }
    return transportFailure(rc, errorBuffer);
  }
  if (status < 200 || status > 299) {
    errorMsg = "HTTP status " + std::to_string(status);
    t_retryAfterSeconds = RetryAfterSeconds(replyHeaders, std::time(nullptr));
    return status > 0 ? static_cast<int>(status) : kGatewayFailure;
  }
  return 0;
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
