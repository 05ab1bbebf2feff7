// connect()'s reachability probe: a short-lived, separate easy handle with
// CURLOPT_CONNECT_ONLY and the same options as a request (time-outs, TLS
// checks) opens a connection to the URL's host (TCP, plus the TLS handshake
// for https) and closes it again. libcurl never reuses a CONNECT_ONLY
// connection for a transfer, so the first request opens the connection that
// the later requests share.
//
// A pooled gateway's probe puts its DNS answer and TLS session in the
// pool's share, and runs one at a time per origin: gateways that connect
// while another's probe to the same origin is in flight (the uploader
// threads of a file, all at once) wait for it and report its outcome,
// failure included, as their own, instead of each paying a connection and a
// full TLS handshake for the same answer.
#include "platform/http/CloseOnExec.h"
#include "platform/http/GatewayImpl.h"

namespace LIBCURL {

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

}  // namespace LIBCURL
