#include "platform/http/TransferOptions.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "platform/host/Env.h"
#include "platform/http/ConnectionPool.h"
#include "platform/http/GatewayImpl.h"
#include "platform/http/SendPacer.h"
#include "platform/http/TransferCallbacks.h"
#include "platform/text/FXString.h"

namespace LIBCURL {

namespace {

// Directory of hashed system CA certificates (Debian's ca-certificates).
constexpr const char* kSystemCaPath = "/etc/ssl/certs";
// libcurl's piece size for request bodies (CURLOPT_UPLOAD_BUFFERSIZE).
constexpr long kUploadBufferBytes = 512L * 1024L;

bool IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Sets options on one handle in turn until libcurl refuses one; rc() is
// that refusal (CURLE_OK while there is none).
class OptionSetter {
 public:
  explicit OptionSetter(CURL* h) : m_h(h) {}
  template <typename Value>
  void operator()(CURLoption opt, Value value) {
    if (m_rc == CURLE_OK) m_rc = curl_easy_setopt(m_h, opt, value);
  }
  CURLcode rc() const { return m_rc; }

 private:
  CURL* m_h;
  CURLcode m_rc = CURLE_OK;
};

}  // namespace

bool BuildHeaderList(const ZuCURL::commandInfoList& headers, Method method, HeaderList& list) {
  auto append = [&list](const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (head == nullptr) return false;  // the list is left as it was
    if (!list) list.reset(head);        // the first line starts the list
    return true;
  };
  bool haveExpect = false;
  bool haveContentType = false;
  for (const auto& h : headers) {
    if (FXString::EqualsNoCase(h.name, "Expect")) haveExpect = true;
    if (FXString::EqualsNoCase(h.name, "Content-Type")) haveContentType = true;
    // "name;" is libcurl's spelling of a header with an empty value.
    if (!append(h.value.empty() ? h.name + ";" : h.name + ": " + h.value)) return false;
  }
  if (!haveExpect && !append("Expect:")) return false;
  return haveContentType || method != Method::Post || append("Content-Type:");
}

CURLcode ApplyBodyOptions(CURL* h, Method method, bool paced, const char* data, long length) {
  OptionSetter set(h);
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
  return set.rc();
}

CURLcode ZuInternetGateway::Impl::applyCommonOptions(CURL* h, const std::string& url,
                                                     long long bodyBytes) {
  GatewayLimits limits = ZuInternetGateway::Limits();
  OptionSetter set(h);
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
  if (set.rc() != CURLE_OK) return set.rc();
  return applySecurityOptions(h);
}

CURLcode ZuInternetGateway::Impl::applySecurityOptions(CURL* h) {
  OptionSetter set(h);
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
  return set.rc();
}

CURLcode ZuInternetGateway::Impl::applyRequestOptions(CURL* h, curl_slist* list) {
  OptionSetter set(h);
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
  return set.rc();
}

}  // namespace LIBCURL
