// The SAS token of one file's upload, and its refresh when storage refuses
// it with 403 (a token that expired in the middle of a large file).
//
// The storage requests of the file that store it or check it (Put Block on
// every uploader thread, Put Blob, Put Block List with the committed list it
// may read, Get Blob Properties) take the current token from the file's
// TokenRefresh when they are sent. A resumed upload's Get Block List uses
// the token its pass starts with; a 403 there sends the file whole. A request
// refused with 403 asks for a fresh token (SendWithRefresh) and is sent
// once more with it; a 403 again right after that ends the file at once.
// Concurrent 403s make one refresh: the first thread asks the cloud while
// the others wait on the refresh lock, then find the token newer than the
// one they were refused with and take it without asking. The budget counts
// refreshes that did not help: one whose token had a request of the file
// confirmed no longer counts, so a file that makes progress with every
// token runs as long as the cloud hands them out, and a file whose fresh
// tokens store nothing ends after kMaxTokenRefreshesPerFile of them. A
// fresh token that comes with another storage URL makes the file start
// again, whole, at that URL.
//
// Where a fresh token comes from (GrantSource): in API and workflow mode
// the login and set-up request that init made (with init's ids, no wait
// between its attempts); in Azure Functions mode the Setup function for the
// files still to send. Both pass the new URL and token through the checks
// of the first set-up.
//
// Lock order: refreshLock (held through one request to the cloud) before
// stateLock; neither is held with an upload's queueLock.
#ifndef ZUCLOUD_BLOB_TOKEN_REFRESH_H
#define ZUCLOUD_BLOB_TOKEN_REFRESH_H

#include <functional>
#include <string>
#include <vector>

#include "blob/storage/StorageRequest.h"
#include "platform/threads/ThreadAnnotations.h"
#include "platform/threads/ZuSync.h"
#include "session/SessionParams.h"

class EvDebug;

namespace zu::blob {

// Fresh tokens one file may ask for in a row with none of them getting a
// request of the file confirmed.
constexpr int kMaxTokenRefreshesPerFile = 5;

// What init was given to set the upload up, kept to ask again.
struct SetUpIds {
  std::string vestrumGUID;
  int vestrumId = 0;
  unsigned int jobId = 0;
  std::string setId;
  int backupLevel = 0;
  unsigned int fullJobId = 0;
};

// The ids `service` (a ZUCloudAzureService) was last initialised with.
// They are kept beside the object, not in it: the object's size is part of
// the library's binary interface (a host allocates it with the size its
// headers gave), so no member may be added. Forget when the object goes.
void RememberSetUpIds(const void* service, SetUpIds ids);
SetUpIds SetUpIdsOf(const void* service);
void ForgetSetUpIds(const void* service);

// A storage URL and a SAS token handed out by the cloud.
struct SasGrant {
  std::string serviceUrl;
  std::string token;
};

// Asks the cloud for a fresh grant of one file: false, with why, when none
// came (or the one that came failed the checks).
using GrantSource = std::function<bool(SasGrant& grant, std::string& failure)>;

enum class RefreshResult {
  kFresh,       // a fresh token for the same URL, asked for by this call
  kNewer,       // a newer token for the same URL, another request asked for it
  kUrlChanged,  // a fresh token for another storage URL: the file starts again
  kExhausted,   // the file asked kMaxTokenRefreshesPerFile times already
  kFailed,      // the cloud handed out none
};

class TokenRefresh {
 public:
  // `askWhom` names the source in the log ("the web console").
  TokenRefresh(EvDebug* log, std::string fileName, SasGrant grant, GrantSource source,
               const char* askWhom);
  TokenRefresh(const TokenRefresh&) = delete;
  TokenRefresh& operator=(const TokenRefresh&) = delete;

  // The current token and its generation (0 for the first).
  std::string Token(unsigned int& generation) const EXCLUDES(m_stateLock);
  SasGrant Grant() const EXCLUDES(m_stateLock);
  // Fresh tokens asked for, and of them those no confirmed request used.
  int Refreshes() const EXCLUDES(m_stateLock);
  int UnusedRefreshes() const EXCLUDES(m_stateLock);
  // A request sent with token generation `used` was confirmed: the refresh
  // that brought that token was worth it and leaves the budget.
  void NoteConfirmed(unsigned int used) EXCLUDES(m_stateLock);
  const std::string& fileName() const { return m_fileName; }

  // After `refusal` (403) of a request sent with token generation `used`:
  // the fresh token another thread got since, or one request to the source.
  RefreshResult Refresh(unsigned int used, const StorageJudgement& refusal, std::string& failure)
      EXCLUDES(m_refreshLock, m_stateLock);

 private:
  RefreshResult AskSource(unsigned int used, const StorageJudgement& refusal, std::string& failure)
      REQUIRES(m_refreshLock) EXCLUDES(m_stateLock);

  EvDebug* m_log;
  const std::string m_fileName;
  const GrantSource m_source;
  const char* m_askWhom;
  zu::Mutex m_refreshLock ACQUIRED_BEFORE(m_stateLock);
  mutable zu::Mutex m_stateLock;
  SasGrant m_grant GUARDED_BY(m_stateLock);
  unsigned int m_generation GUARDED_BY(m_stateLock) = 0;
  unsigned int m_urlChangedAt GUARDED_BY(m_stateLock) = 0;  // 0: never
  int m_refreshes GUARDED_BY(m_stateLock) = 0;
  int m_unused GUARDED_BY(m_stateLock) = 0;               // refreshes still in the budget
  unsigned int m_creditedAt GUARDED_BY(m_stateLock) = 0;  // last generation taken out
  // The generation whose refresh failed (every thread refused with it
  // ends), and why.
  bool m_failed GUARDED_BY(m_stateLock) = false;
  unsigned int m_failedAt GUARDED_BY(m_stateLock) = 0;
  std::string m_failure GUARDED_BY(m_stateLock);
};

// One storage request under the file's token: `send` sends it with the
// token given and judges the reply. After a 403 a fresh token is asked for
// and the request sent once more; `judgement` is then the last reply's.
struct RefreshedSend {
  StorageJudgement judgement;
  bool final = false;       // no further attempt: `meaning` says why
  bool urlChanged = false;  // the file must start again at the new URL
  std::string meaning;      // for FinalRefusalMessage
};

// `refresh` may be null (a host's own commit): a 403 is then final.
// `token` is the token to send without a refresh object.
RefreshedSend SendWithRefresh(TokenRefresh* refresh, const std::string& token,
                              const std::function<StorageJudgement(const std::string&)>& send);

// The source of API and workflow mode: login and set-up again (BlobSetup.cpp).
bool AskConsoleForGrant(const SessionParams& params, bool apiMode, const SetUpIds& ids,
                        SasGrant& grant, std::string& failure);

// The source of Azure Functions mode: the Setup function for the files
// still to send (`pending`), whose reply's token for `fileName` is taken
// (AzureFunctions.cpp). params.url is the Functions base URL.
bool AskFunctionsForGrant(const SessionParams& params, int maximumBackoff, const SetUpIds& ids,
                          const std::vector<std::string>& pending, const std::string& fileName,
                          SasGrant& grant, std::string& failure);

// What the service hands a file's TokenRefresh to ask again.
struct GrantInputs {
  SessionParams params;
  bool azureFunctions = false;
  bool apiMode = true;
  int maximumBackoff = 16;
  SetUpIds ids;
  std::vector<std::string> pending;  // Azure Functions mode: files still to send
};

// The source for `fileName` by the service's mode.
GrantSource MakeGrantSource(GrantInputs inputs, const std::string& fileName);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_TOKEN_REFRESH_H
