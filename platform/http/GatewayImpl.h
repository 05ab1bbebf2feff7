// The state of one gateway (ZuInternetGateway::Impl) and where each of its
// roles lives:
//  - ZuInternetGateway.cpp: the public calls and the request itself
//    (perform);
//  - GatewayPooling.cpp: the handle and the connection pool (an idle
//    handle taken, the share joined, the handle handed back or renewed);
//  - ReachabilityProbe.cpp: connect()'s probe, alone or shared;
//  - TransferOptions.cpp: the options set on a handle before a transfer;
//  - TransferOutcome.cpp: the result of a transfer, the failures the
//    gateway records and the notes the retry policy reads.
#ifndef ZUCLOUD_PLATFORM_GATEWAY_IMPL_H
#define ZUCLOUD_PLATFORM_GATEWAY_IMPL_H

#include <curl/curl.h>

#include <memory>
#include <string>

#include "platform/http/ConnectionPool.h"
#include "platform/http/TransferCallbacks.h"
#include "platform/http/TransferOptions.h"
#include "platform/http/ZuInternetGateway.h"

namespace LIBCURL {

// Owns an easy handle.
struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

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

  // --- GatewayPooling.cpp
  // What two handles must agree on to share a connection: certificate
  // checks, the CA file, the keep-alive settings and the proxy.
  std::string securityKey() const;
  // Attaches the pool's share for the current settings to the handle; on
  // any refusal the gateway simply works unpooled.
  void joinShare();
  // Releases the handle: back to the pool with its connection when the
  // last request completed and the settings are the ones it was pooled
  // under, else closed.
  void releaseHandle();
  // Before a request on a handle that already served one: a connection
  // that the peer closed, or that holds bytes nobody asked for, is closed
  // with its handle; the request goes out on a new handle (same share, and
  // every option is set again per request). False when no new handle could
  // be made.
  bool renewUnusableHandle();
  // Takes an idle handle of the pool for `origin` and the current settings
  // whose connection is still clean; true when the gateway now holds one.
  // One the server closed while it waited (gone for good, or only an idle
  // limit of its own: the probe tells which), or that holds bytes nobody
  // asked for, is closed and the origin counts as unchecked.
  bool takeIdleConnection(const std::string& origin);

  // --- ReachabilityProbe.cpp
  // The reachability probe: a separate CONNECT_ONLY handle with the common
  // options opens a connection to the URL's host and closes it again.
  int probe(const std::string& url);
  // The probe of a pooled gateway: one per security key and origin at a
  // time (pool::BeginProbe); a gateway that finds another's in flight
  // reports that one's outcome as its own.
  int sharedProbe(const std::string& url, const std::string& origin);

  // --- TransferOptions.cpp
  // Options shared by the request handle and the connect probe (URL,
  // protocols, time-outs and the deadline, proxy, then applySecurityOptions).
  // Each returns the first option libcurl refuses.
  CURLcode applyCommonOptions(CURL* h, const std::string& url, long long bodyBytes);
  // Keep-alive, certificate checks and the CA file.
  CURLcode applySecurityOptions(CURL* h);
  // The options of one request beyond the common ones (callbacks, their
  // data, the header list).
  CURLcode applyRequestOptions(CURL* h, curl_slist* list);

  // --- TransferOutcome.cpp
  void clearOutcome();
  // Records a transport failure; returns the value the operation returns.
  // `from`: the handle that failed, when not the gateway's own.
  int transportFailure(CURLcode code, const char* detail, CURL* from = nullptr);
  // Records a call the gateway refuses by itself (RequestRefusedOnThisThread).
  int gatewayFailure(const std::string& text);
  // The result of a request that ended with `rc` and `status`.
  int outcome(const std::string& url, CURLcode rc, long status);
  // The request just failed went out on a connection an earlier request
  // left open, and not a byte of its reply came back.
  bool reusedBeforeAnyReply();

  // --- ZuInternetGateway.cpp
  // One request on the gateway's handle; the body is read from `data` in
  // place.
  int perform(Method method, const std::string& url, const char* data, long length,
              std::string& response, const ZuCURL::commandInfoList& headers);
};

}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_GATEWAY_IMPL_H
