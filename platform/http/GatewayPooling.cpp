// A gateway's handle and the process's connection pool (ConnectionPool.h):
// an idle handle of the pool taken for the URL's origin, the pool's TLS
// session and DNS share joined, the handle handed back with its open
// connection, and a handle whose connection is no longer clean replaced.
#include <utility>

#include "platform/http/CloseOnExec.h"
#include "platform/http/GatewayImpl.h"

namespace LIBCURL {

std::string ZuInternetGateway::Impl::securityKey() const {
  return std::string(verifyPeer ? "verify" : "noverify") + '|' + caFile + '|' +
         (keepAlive ? std::to_string(keepIdleSeconds) + ',' + std::to_string(keepIntervalSeconds)
                    : std::string("nokeepalive")) +
         '|' + proxyUrl + '|' + bypass;
}

void ZuInternetGateway::Impl::joinShare() {
  if (share || !easy) return;
  std::shared_ptr<SharedCache> cache = pool::Share(securityKey());
  if (!cache) return;
  if (curl_easy_setopt(easy.get(), CURLOPT_SHARE, pool::ShareHandle(*cache)) != CURLE_OK) return;
  share = std::move(cache);
  poolKey = securityKey();
}

void ZuInternetGateway::Impl::releaseHandle() {
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

bool ZuInternetGateway::Impl::renewUnusableHandle() {
  if (pool::CheckConnection(easy.get()) != pool::ConnectionCheck::kUnusable) return true;
  easy.reset(NewEasyHandle());
  if (!easy) return false;
  if (share && curl_easy_setopt(easy.get(), CURLOPT_SHARE, pool::ShareHandle(*share)) != CURLE_OK)
    share.reset();
  return true;
}

bool ZuInternetGateway::Impl::takeIdleConnection(const std::string& origin) {
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

}  // namespace LIBCURL
