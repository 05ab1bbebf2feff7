#include "blob/storage/TokenRefresh.h"

#include <map>
#include <string>
#include <utility>

#include "platform/log/EvDebug.h"

namespace zu::blob {
namespace {

constexpr const char* kTag = "TokenRefresh";

}  // namespace

TokenRefresh::TokenRefresh(EvDebug* log, std::string fileName, SasGrant grant, GrantSource source,
                           const char* askWhom)
    : m_log(log),
      m_fileName(std::move(fileName)),
      m_source(std::move(source)),
      m_askWhom(askWhom),
      m_grant(std::move(grant)) {}

std::string TokenRefresh::Token(unsigned int& generation) const {
  MutexLock lock(m_stateLock);
  generation = m_generation;
  return m_grant.token;
}

SasGrant TokenRefresh::Grant() const {
  MutexLock lock(m_stateLock);
  return m_grant;
}

int TokenRefresh::Refreshes() const {
  MutexLock lock(m_stateLock);
  return m_refreshes;
}

int TokenRefresh::UnusedRefreshes() const {
  MutexLock lock(m_stateLock);
  return m_unused;
}

void TokenRefresh::NoteConfirmed(unsigned int used) {
  MutexLock lock(m_stateLock);
  // Generation 0 is the set-up's token, no refresh brought it; each later
  // one leaves the budget once.
  if (used == 0 || used <= m_creditedAt || m_unused == 0) return;
  m_creditedAt = used;
  --m_unused;
}

RefreshResult TokenRefresh::Refresh(unsigned int used, const StorageJudgement& refusal,
                                    std::string& failure) {
  // Held through the request to the cloud: a thread refused at the same
  // time waits here and then finds the token newer than its own.
  MutexLock refreshing(m_refreshLock);
  {
    MutexLock lock(m_stateLock);
    if (m_generation != used) {
      return used < m_urlChangedAt ? RefreshResult::kUrlChanged : RefreshResult::kNewer;
    }
    if (m_failed && m_failedAt == used) {
      failure = m_failure;
      return RefreshResult::kFailed;
    }
    if (m_unused >= kMaxTokenRefreshesPerFile) return RefreshResult::kExhausted;
  }
  return AskSource(used, refusal, failure);
}

RefreshResult TokenRefresh::AskSource(unsigned int used, const StorageJudgement& refusal,
                                      std::string& failure) {
  int number = 0;  // its place in the budget
  {
    MutexLock lock(m_stateLock);
    ++m_refreshes;
    number = ++m_unused;
  }
  const std::string code = refusal.code.empty() ? std::string("no error code") : refusal.code;
  m_log->Error(kTag,
               "Warning: Storage refused file [%s] with %d (%s); asking %s for a fresh SAS "
               "token (refresh [%d] of [%d])",
               m_fileName.c_str(), refusal.status, code.c_str(), m_askWhom, number,
               kMaxTokenRefreshesPerFile);
  SasGrant fresh;
  std::string why;
  const bool got = m_source && m_source(fresh, why);
  MutexLock lock(m_stateLock);
  if (!got) {
    m_failed = true;
    m_failedAt = used;
    m_failure = why.empty() ? std::string("the cloud handed out none") : why;
    failure = m_failure;
    m_log->Error(kTag, "Error: No fresh SAS token for file [%s] (refresh [%d] of [%d]): %s",
                 m_fileName.c_str(), number, kMaxTokenRefreshesPerFile, failure.c_str());
    return RefreshResult::kFailed;
  }
  ++m_generation;
  const bool urlChanged = fresh.serviceUrl != m_grant.serviceUrl;
  if (urlChanged) m_urlChangedAt = m_generation;
  m_grant = std::move(fresh);
  m_log->Error(
      kTag, "Success: A fresh SAS token for file [%s] arrived (refresh [%d] of [%d])%s",
      m_fileName.c_str(), number, kMaxTokenRefreshesPerFile,
      urlChanged ? "; it names another storage URL, the file is sent again whole there" : "");
  return urlChanged ? RefreshResult::kUrlChanged : RefreshResult::kFresh;
}

namespace {

// Why a 403 ends the file, by what the refresh answered.
std::string RefusedMeaning(RefreshResult result, const std::string& failure, int maxRefreshes) {
  switch (result) {
    case RefreshResult::kExhausted:
      return "the token was refused again after " + std::to_string(maxRefreshes) +
             " refreshes for this file with nothing stored in between";
    case RefreshResult::kFailed:
      return "no fresh SAS token could be had (" + failure + ")";
    default:
      return "the token was refused again after a refresh";
  }
}

}  // namespace

RefreshedSend SendWithRefresh(TokenRefresh* refresh, const std::string& token,
                              const std::function<StorageJudgement(const std::string&)>& send) {
  RefreshedSend out;
  unsigned int generation = 0;
  const std::string first = refresh != nullptr ? refresh->Token(generation) : token;
  out.judgement = send(first);
  if (refresh != nullptr && out.judgement.verdict == StorageVerdict::kConfirmed) {
    refresh->NoteConfirmed(generation);
  }
  out.final = out.judgement.verdict == StorageVerdict::kFinal;
  if (out.judgement.verdict != StorageVerdict::kTokenRefused) return out;
  out.final = true;
  if (refresh == nullptr) {
    out.meaning = "the storage service refused the SAS token";
    return out;
  }
  // A token another request fetched may be refused too (it may have been
  // fetched before this request's refusal, or spent since): only a refusal
  // of the token this request asked for itself ends it. Each round either
  // asks once or finds a newer token, of which a file gets a bounded number.
  for (bool asked = false; !asked;) {
    std::string failure;
    const RefreshResult result = refresh->Refresh(generation, out.judgement, failure);
    if (result == RefreshResult::kUrlChanged) {
      out.final = false;
      out.urlChanged = true;
      return out;
    }
    if (result != RefreshResult::kFresh && result != RefreshResult::kNewer) {
      out.meaning = RefusedMeaning(result, failure, kMaxTokenRefreshesPerFile);
      return out;
    }
    asked = result == RefreshResult::kFresh;
    out.judgement = send(refresh->Token(generation));
    if (out.judgement.verdict == StorageVerdict::kConfirmed) refresh->NoteConfirmed(generation);
    if (out.judgement.verdict != StorageVerdict::kTokenRefused) break;
  }
  out.final = out.judgement.verdict == StorageVerdict::kFinal ||
              out.judgement.verdict == StorageVerdict::kTokenRefused;
  if (out.judgement.verdict == StorageVerdict::kTokenRefused) {
    out.meaning = RefusedMeaning(RefreshResult::kFresh, std::string(), kMaxTokenRefreshesPerFile);
  }
  return out;
}

GrantSource MakeGrantSource(GrantInputs inputs, const std::string& fileName) {
  return [inputs = std::move(inputs), fileName](SasGrant& grant, std::string& failure) {
    if (inputs.azureFunctions) {
      return AskFunctionsForGrant(inputs.params, inputs.maximumBackoff, inputs.ids, inputs.pending,
                                  fileName, grant, failure);
    }
    return AskConsoleForGrant(inputs.params, inputs.apiMode, inputs.ids, grant, failure);
  };
}

namespace {

struct SetUpIdsTable {
  Mutex mutex;
  std::map<const void*, SetUpIds> ids GUARDED_BY(mutex);
};

SetUpIdsTable& SetUpIdsOfServices() {
  static SetUpIdsTable* table = new SetUpIdsTable();  // used until exit
  return *table;
}

}  // namespace

void RememberSetUpIds(const void* service, SetUpIds ids) {
  SetUpIdsTable& table = SetUpIdsOfServices();
  MutexLock lock(table.mutex);
  table.ids[service] = std::move(ids);
}

SetUpIds SetUpIdsOf(const void* service) {
  SetUpIdsTable& table = SetUpIdsOfServices();
  MutexLock lock(table.mutex);
  const auto it = table.ids.find(service);
  return it == table.ids.end() ? SetUpIds() : it->second;
}

void ForgetSetUpIds(const void* service) {
  SetUpIdsTable& table = SetUpIdsOfServices();
  MutexLock lock(table.mutex);
  table.ids.erase(service);
}

}  // namespace zu::blob
