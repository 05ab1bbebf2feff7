// The connection pool (see ConnectionPool.h).
//
// Design notes:
// - Connections are pooled as whole easy handles, not through a shared
//   connection cache (CURL_LOCK_DATA_CONNECT): libcurl up to at least 8.x
//   documents that a shared connection cache is not safe between threads
//   that run transfers at once, and the uploader threads do exactly that.
//   An easy handle keeps its own connections between transfers; moving the
//   handle from one gateway to the next under the pool's mutex moves its
//   connection with it, and libcurl allows a handle to change threads
//   between transfers.
// - TLS sessions and DNS answers are shared through a share handle per
//   security key (CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS), with one
//   mutex per kind of locked data, as libcurl asks.
// - A SharedCache lives as long as any handle that uses it: the pool's map
//   and every holder keep a shared_ptr, and each holder cleans its easy
//   handle up before letting the share go (libcurl refuses to clean up a
//   share still in use).
// - Closing a handle (curl_easy_cleanup) may write to its socket (a TLS
//   close notification), so it happens outside the pool's mutex.
// - Probes in flight have a mutex of their own, taken before the pool's
//   (BeginProbe asks Reached under it) and never while the pool's is held;
//   a waiting gateway sleeps on a condition variable, so a probe that takes
//   the whole connect time-out holds up no other origin.
#include "platform/http/ConnectionPool.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/host/Env.h"
#include "platform/threads/ZuSync.h"

namespace LIBCURL {

class SharedCache {
 public:
  SharedCache() = default;
  ~SharedCache() {
    if (m_handle != nullptr) curl_share_cleanup(m_handle);
  }
  SharedCache(const SharedCache&) = delete;
  SharedCache& operator=(const SharedCache&) = delete;

  // False when libcurl refuses the share or one of its options.
  bool open() {
    m_handle = curl_share_init();
    if (m_handle == nullptr) return false;
    CURLSHcode rc = curl_share_setopt(m_handle, CURLSHOPT_USERDATA, static_cast<void*>(this));
    if (rc == CURLSHE_OK) rc = curl_share_setopt(m_handle, CURLSHOPT_LOCKFUNC, &Lock);
    if (rc == CURLSHE_OK) rc = curl_share_setopt(m_handle, CURLSHOPT_UNLOCKFUNC, &Unlock);
    if (rc == CURLSHE_OK) rc = curl_share_setopt(m_handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    if (rc == CURLSHE_OK)
      rc = curl_share_setopt(m_handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return rc == CURLSHE_OK;
  }
  CURLSH* handle() const { return m_handle; }

 private:
  static std::mutex* MutexFor(void* self, curl_lock_data data) {
    auto* cache = static_cast<SharedCache*>(self);
    const int index = static_cast<int>(data);
    if (index < 0 || index >= CURL_LOCK_DATA_LAST) return &cache->m_locks[0];
    return &cache->m_locks[index];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    MutexFor(self, data)->lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) { MutexFor(self, data)->unlock(); }

  CURLSH* m_handle = nullptr;
  // Taken and given back by libcurl through Lock and Unlock, in two calls:
  // there is no scope in which to name them for the analysis.
  std::mutex m_locks[CURL_LOCK_DATA_LAST];
};

namespace pool {
namespace {

using Clock = std::chrono::steady_clock;

struct IdleHandle {
  std::string key;
  std::string origin;
  CURL* easy = nullptr;
  std::shared_ptr<SharedCache> share;
  Clock::time_point since;
};

// Handles taken out of the pool, closed outside the mutex: each easy handle
// before its share.
class Closing {
 public:
  Closing() = default;
  ~Closing() {
    for (IdleHandle& idle : m_handles) {
      curl_easy_cleanup(idle.easy);
      idle.share.reset();
    }
  }
  Closing(const Closing&) = delete;
  Closing& operator=(const Closing&) = delete;
  void add(IdleHandle&& idle) { m_handles.push_back(std::move(idle)); }

 private:
  std::vector<IdleHandle> m_handles;
};

struct State {
  zu::Mutex mutex;
  int users GUARDED_BY(mutex) = 0;
  std::map<std::string, std::shared_ptr<SharedCache>> shares GUARDED_BY(mutex);
  std::vector<IdleHandle> idle GUARDED_BY(mutex);
  std::map<std::string, Clock::time_point> reached GUARDED_BY(mutex);
};

State& Global() {
  static State* state = new State();  // never destroyed: used until exit
  return *state;
}

// How long a handle may wait in the pool: kMaxIdleSeconds unless the
// environment shortens it (tests do).
Clock::duration MaxIdle() {
  return zu::Env::Current()->IdleConnectionLifetime(std::chrono::seconds(kMaxIdleSeconds));
}

// The environment's clock, by which handles and answers age.
Clock::time_point Now() { return zu::Env::Current()->Now(); }

// Moves handles idle for too long to `closing`.
void DropExpiredLocked(State& s, Clock::time_point now, Closing& closing) REQUIRES(s.mutex) {
  const Clock::duration maxIdle = MaxIdle();
  const auto fresh = std::stable_partition(
      s.idle.begin(), s.idle.end(),
      [now, maxIdle](const IdleHandle& idle) { return now - idle.since < maxIdle; });
  for (auto it = fresh; it != s.idle.end(); ++it) closing.add(std::move(*it));
  s.idle.erase(fresh, s.idle.end());
}

std::string ReachedKey(const std::string& securityKey, const std::string& origin) {
  return securityKey + '\n' + origin;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void AddUser() {
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  ++s.users;
}

void RemoveUser() {
  State& s = Global();
  Closing closing;
  std::map<std::string, std::shared_ptr<SharedCache>> shares;
  {
    zu::MutexLock lock(s.mutex);
    if (s.users > 0) --s.users;
    if (s.users > 0) return;
    for (IdleHandle& idle : s.idle) closing.add(std::move(idle));
    s.idle.clear();
    shares.swap(s.shares);
    s.reached.clear();
  }
  // Outside the mutex: each idle handle holds its own reference to its
  // share, so `closing` cleans the handles up before the last reference to
  // a share goes.
}

bool Active() {
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  return s.users > 0;
}

std::string OriginOf(const std::string& url) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return std::string();
  std::string origin;
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    origin = Lower(std::string(scheme) + "://" + host + ":" + port);
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(parsed);
  return origin;
}

std::shared_ptr<SharedCache> Share(const std::string& securityKey) {
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  if (s.users <= 0) return nullptr;
  std::shared_ptr<SharedCache>& slot = s.shares[securityKey];
  if (!slot) {
    auto cache = std::make_shared<SharedCache>();
    if (!cache->open()) {
      s.shares.erase(securityKey);
      return nullptr;
    }
    slot = std::move(cache);
  }
  return slot;
}

void* ShareHandle(const SharedCache& cache) { return cache.handle(); }

void* TakeIdle(const std::string& securityKey, const std::string& origin,
               std::shared_ptr<SharedCache>& share) {
  State& s = Global();
  Closing closing;
  zu::MutexLock lock(s.mutex);
  DropExpiredLocked(s, Now(), closing);
  if (s.users <= 0) return nullptr;
  // The handle returned last: its connection is the least likely to have
  // been closed by the server.
  for (auto it = s.idle.rbegin(); it != s.idle.rend(); ++it) {
    if (it->key != securityKey || it->origin != origin) continue;
    CURL* easy = it->easy;
    share = std::move(it->share);
    s.idle.erase(std::next(it).base());
    return easy;
  }
  return nullptr;
}

ConnectionCheck CheckConnection(void* easy) {
  curl_socket_t sock = CURL_SOCKET_BAD;
  if (curl_easy_getinfo(static_cast<CURL*>(easy), CURLINFO_ACTIVESOCKET, &sock) != CURLE_OK ||
      sock == CURL_SOCKET_BAD) {
    return ConnectionCheck::kNone;
  }
  pollfd entry{sock, POLLIN | POLLRDHUP, 0};
  int ready = -1;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  // Nothing arrived while it waited. Anything that did (the end of the
  // stream, an error, or bytes: a reply nobody asked for, a TLS alert) makes
  // the connection unfit for the next request: it would read those bytes as
  // the start of its own reply.
  return ready == 0 ? ConnectionCheck::kClean : ConnectionCheck::kUnusable;
}

void GiveBack(const std::string& securityKey, const std::string& origin, void* easy,
              std::shared_ptr<SharedCache> share) {
  State& s = Global();
  Closing closing;
  IdleHandle handle{securityKey, origin, static_cast<CURL*>(easy), std::move(share), Now()};
  zu::MutexLock lock(s.mutex);
  DropExpiredLocked(s, handle.since, closing);
  if (s.users <= 0 || origin.empty()) {
    closing.add(std::move(handle));
    return;
  }
  size_t same = 0;
  auto oldest = s.idle.end();
  for (auto it = s.idle.begin(); it != s.idle.end(); ++it) {
    if (it->key != securityKey || it->origin != origin) continue;
    if (same++ == 0) oldest = it;
  }
  if (same >= kMaxIdlePerOrigin) {
    closing.add(std::move(*oldest));
    s.idle.erase(oldest);
  }
  s.idle.push_back(std::move(handle));
}

void MarkReached(const std::string& securityKey, const std::string& origin, bool ok) {
  if (origin.empty()) return;
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  if (!ok) {
    s.reached.erase(ReachedKey(securityKey, origin));
  } else if (s.users > 0) {
    s.reached[ReachedKey(securityKey, origin)] = Now();
  }
}

bool Reached(const std::string& securityKey, const std::string& origin) {
  const Clock::duration maxIdle = MaxIdle();
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  if (s.users <= 0) return false;
  auto it = s.reached.find(ReachedKey(securityKey, origin));
  return it != s.reached.end() && Now() - it->second < maxIdle;
}

namespace {

// A probe in flight; its fields are guarded by Probes::mutex.
struct ProbeInFlight {
  bool done = false;
  ProbeOutcome outcome;
};

struct Probes {
  zu::Mutex mutex;
  zu::CondVar ended;  // a probe ended (waited on with mutex)
  std::map<std::string, std::shared_ptr<ProbeInFlight>> inFlight GUARDED_BY(mutex);
  size_t waiters GUARDED_BY(mutex) = 0;
};

Probes& GlobalProbes() {
  static Probes* probes = new Probes();  // never destroyed: used until exit
  return *probes;
}

}  // namespace

bool BeginProbe(const std::string& securityKey, const std::string& origin, ProbeOutcome& outcome) {
  Probes& p = GlobalProbes();
  zu::MutexLock lock(p.mutex);
  std::shared_ptr<ProbeInFlight>& slot = p.inFlight[ReachedKey(securityKey, origin)];
  if (!slot) {
    // A probe that ended just before (its MarkReached came first) stands
    // for this one.
    if (Reached(securityKey, origin)) {
      p.inFlight.erase(ReachedKey(securityKey, origin));
      outcome = ProbeOutcome();
      return false;
    }
    slot = std::make_shared<ProbeInFlight>();
    return true;
  }
  const std::shared_ptr<ProbeInFlight> probe = slot;
  ++p.waiters;
  while (!probe->done) p.ended.wait(p.mutex);
  --p.waiters;
  outcome = probe->outcome;
  return false;
}

void EndProbe(const std::string& securityKey, const std::string& origin,
              const ProbeOutcome& outcome) {
  MarkReached(securityKey, origin, outcome.code == 0);
  Probes& p = GlobalProbes();
  zu::MutexLock lock(p.mutex);
  const auto it = p.inFlight.find(ReachedKey(securityKey, origin));
  if (it == p.inFlight.end()) return;
  it->second->done = true;
  it->second->outcome = outcome;
  p.inFlight.erase(it);
  p.ended.notifyAll();
}

size_t ProbeWaiterCount() {
  Probes& p = GlobalProbes();
  zu::MutexLock lock(p.mutex);
  return p.waiters;
}

size_t IdleCount() {
  State& s = Global();
  zu::MutexLock lock(s.mutex);
  return s.idle.size();
}

}  // namespace pool
}  // namespace LIBCURL
