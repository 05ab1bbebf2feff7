// Process-wide pool of HTTP connections, TLS sessions and DNS answers that
// outlive the gateway that made them.
//
// A gateway hands its easy handle, with the connection it holds open, back
// to the pool when it is closed; the next gateway for the same origin
// (scheme, host, port) and the same security settings takes it and sends
// over that connection. An idle handle belongs to the pool alone, and a
// handle in use to one gateway alone, so a connection never carries two
// requests at once. TLS sessions and DNS answers are shared between all
// handles of one security key through libcurl's share interface.
//
// The pool works only while at least one service object is alive (each
// registers with AddUser and leaves with RemoveUser). When the last one
// leaves, every idle connection is closed; a handle still in a gateway is
// closed when that gateway is closed. A handle idle for longer than
// kMaxIdleSeconds is closed at the next pool access.
//
// Every function is safe to call from any thread.
#ifndef ZUCLOUD_PLATFORM_CONNECTION_POOL_H
#define ZUCLOUD_PLATFORM_CONNECTION_POOL_H

#include <cstddef>
#include <memory>
#include <string>

namespace LIBCURL {

class SharedCache;  // one libcurl share handle with its locks

namespace pool {

// Longest time a connection waits in the pool (also CURLOPT_MAXAGE_CONN).
constexpr long kMaxIdleSeconds = 60;
// Longest time a connection is used at all (CURLOPT_MAXLIFETIME_CONN): a
// busy connection is still replaced now and then, so a changed DNS answer
// (a storage front moved elsewhere) is seen.
constexpr long kMaxConnectionAgeSeconds = 300;
// Idle handles kept per security key and origin; more are closed.
constexpr size_t kMaxIdlePerOrigin = 32;

// A service object starts or stops using the pool.
void AddUser();
void RemoveUser();
// Whether any service object is alive.
bool Active();

// "scheme://host:port" of `url` in lower case, the default port filled in;
// empty when the URL cannot be read.
std::string OriginOf(const std::string& url);

// The share handle for `securityKey`, made on first use; null while the
// pool is not active or libcurl refuses the share.
std::shared_ptr<SharedCache> Share(const std::string& securityKey);
// The libcurl share handle (a CURLSH*) of `cache`.
void* ShareHandle(const SharedCache& cache);

// An idle easy handle (a CURL*) for the key and origin, or null. The caller
// owns it and its `share` afterwards.
void* TakeIdle(const std::string& securityKey, const std::string& origin,
               std::shared_ptr<SharedCache>& share);
// What the connection a handle (a CURL*) keeps between requests looks like.
enum class ConnectionCheck {
  kNone,      // the handle holds no open connection
  kClean,     // open, and nothing has arrived on it since the last reply
  kUnusable,  // closed or half-closed by the peer, in error, or holding bytes
              // nobody asked for (a stray reply the next request would read
              // as its own)
};
// Checks the connection of `easy` without reading from it. A server gone
// without a word (no FIN, no RST) still looks clean.
ConnectionCheck CheckConnection(void* easy);
// Hands `easy` (already reset by the caller) back; closes it at once when
// the pool is not active.
void GiveBack(const std::string& securityKey, const std::string& origin, void* easy,
              std::shared_ptr<SharedCache> share);

// Records that a request to the origin completed (ok) or failed in
// transport (not ok); Reached tells whether one completed within
// kMaxIdleSeconds and none failed since.
void MarkReached(const std::string& securityKey, const std::string& origin, bool ok);
bool Reached(const std::string& securityKey, const std::string& origin);

// Reachability probes (ZuInternetGateway::connect) of an origin not yet
// reached go one at a time per security key and origin: while one
// gateway's probe is in flight, the others wait for its outcome instead of
// each opening a connection (and a full TLS handshake) of their own.
struct ProbeOutcome {
  int code = 0;      // 0: reached; else the probe's transport code
  std::string text;  // the probe's error text
};
// True when the caller is to probe the origin itself and must then call
// EndProbe. False when it need not: the origin was reached moments ago
// (`outcome` code 0), or another gateway's probe was in flight and
// `outcome` is that probe's, once it ended.
bool BeginProbe(const std::string& securityKey, const std::string& origin, ProbeOutcome& outcome);
// Ends the caller's probe: records whether the origin was reached
// (MarkReached) and hands `outcome` to every gateway waiting for it.
void EndProbe(const std::string& securityKey, const std::string& origin,
              const ProbeOutcome& outcome);

// Idle handles in the pool (tests).
size_t IdleCount();
// Gateways waiting for another's probe right now (tests).
size_t ProbeWaiterCount();

}  // namespace pool
}  // namespace LIBCURL

#endif  // ZUCLOUD_PLATFORM_CONNECTION_POOL_H
