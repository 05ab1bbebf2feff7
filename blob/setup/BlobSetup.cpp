// ZUCloudAzureService::init and the web-console set-up
// (ExecuteDRFolderSetUpWorkflow): mode selection, login, and the one XML
// request that yields the storage service URL and the container SAS token.
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/setup/ConsoleWorkflow.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/host/ZUPIFocus.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/NoThrow.h"
#include "session/ServiceFields.h"
#include "session/ServiceSettings.h"
#include "session/SessionParams.h"
#include "session/WorkflowInput.h"
#include "session/WorkflowReply.h"

namespace {

constexpr const char* kInitTag = "init";
constexpr const char* kSetUpTag = "ExecuteDRFolderSetUpWorkflow";
constexpr zu::blob::WorkflowPaths kSetUpPaths = {
    "/api/zudrbackup/setup",
    "/api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute?outputonly=true",
};

// The workflow input of the set-up request.
std::string BuildSetUpBody(const std::string& vestrumGUID, unsigned int jobId,
                           const std::string& setId, int backupLevel, unsigned int fullJobId) {
  return zu::WorkflowInput()
      .Text("VestrumGUID", vestrumGUID)
      .Text("SetID", setId)
      .Number("JobId", jobId)
      .Number("BackupLevel", backupLevel)
      .Number("FullJobId", fullJobId)
      .Finish();
}

bool IsHttps(const std::string& url) { return url.find("https:") != std::string::npos; }

constexpr zu::blob::Workflow kSetUp = {
    kSetUpTag, "DR setup workflow", L"Failed to create DR backup folder.",
    zu::blob::ReplyRules("ZU Cloud DR setup workflow", "Error: Failed to retrieve SAS Token.",
                         L"Error: Failed to retrieve DR set up information from Tolvane Cloud.",
                         zu::AttemptResult::kStop)};

// Where the set-up reply's values go. What an attempt received stays
// received for the attempts after it.
struct SetUpTargets {
  const std::string& consoleUrl;
  std::string& uploadURL;
  std::string& sasToken;
  bool& secured;
  bool urlReceived = false;
  bool tokenReceived = false;
};

// Stores the values of a parsed set-up reply: the storage service URL (a
// refused one is never stored, so no block may go to it, and stops the
// set-up), the SAS token and the cloud's error message. Success once both
// the URL and the token were received.
zu::AttemptResult StoreSetUpReply(EvDebug* log, const zu::xml::ParseResult& parsed,
                                  const std::string& response, SetUpTargets& to,
                                  std::wstring& errorMessage) {
  zu::HandedOutUrlProblem urlProblem = zu::HandedOutUrlProblem::kNone;
  bool tokenRefused = false;
  for (const zu::xml::Element& child : parsed.children) {
    if (child.name == "AzureSASServiceURL") {
      const zu::HandedOutUrlProblem problem = zu::CheckHandedOutUrl(to.consoleUrl, child.text);
      if (problem != zu::HandedOutUrlProblem::kNone) {
        urlProblem = problem;
        continue;
      }
      to.uploadURL = child.text;
      if (!child.text.empty()) {
        to.urlReceived = true;
        to.secured = IsHttps(to.uploadURL);
      }
    } else if (child.name == "AzureSASToken") {
      if (!zu::IsUsableSasToken(child.text)) {
        tokenRefused = true;
        continue;
      }
      to.sasToken = child.text;
      if (!child.text.empty()) to.tokenReceived = true;
    } else if (child.name == "errorMessage") {
      errorMessage = FXString::ToWstring(child.text);
    }
  }
  if (urlProblem != zu::HandedOutUrlProblem::kNone) {
    const std::string reason = std::string("The storage service URL given by the cloud ") +
                               zu::DescribeHandedOutUrlProblem(urlProblem) +
                               "; nothing is sent to it.";
    log->Error(kSetUpTag, "Error: Failed to set up DR backup upload. %s Response [%s]",
               reason.c_str(), response.c_str());
    errorMessage = FXString::ToWstring("Error: Failed to set up DR backup upload. " + reason);
    return zu::AttemptResult::kStop;
  }
  if (tokenRefused) {
    const std::string reason =
        "The SAS token given by the cloud holds characters no URL can carry; nothing is sent "
        "with it.";
    log->Error(kSetUpTag, "Error: Failed to set up DR backup upload. %s", reason.c_str());
    errorMessage = FXString::ToWstring("Error: Failed to set up DR backup upload. " + reason);
    return zu::AttemptResult::kStop;
  }
  if (to.urlReceived && to.tokenReceived) return zu::AttemptResult::kSuccess;
  log->Error(kSetUpTag,
             "Error: Failed to retrieve SAS Token from ZU Cloud DR setup workflow response : "
             "[%s]",
             response.c_str());
  return zu::AttemptResult::kStop;
}

// Whether init was given a URL, a user name, a password (a line tells when
// not) and a vestrum GUID. An empty GUID leaves nothing to set up, without a
// line; uploads and the completion must not run with it.
bool SetUpArgumentsGiven(EvDebug* log, const std::string& url, const std::string& userName,
                         const std::string& password, const std::string& vestrumGUID) {
  if (url.empty() || userName.empty() || password.empty()) {
    log->Error(kInitTag,
               "Error: Failed to create DR backup folder at URL [%s]. Error: empty username or "
               "password provided.",
               url.c_str());
    return false;
  }
  return !vestrumGUID.empty();
}

// The caller's message after a failed set-up: the set-up's own, or, for the
// failures that carry none (an unreadable reply), one that still says the
// set-up failed.
std::wstring SetUpFailureMessage(const std::wstring& message) {
  if (!message.empty()) return message;
  return L"Error: Failed to set up DR backup upload in cloud. Please check ZUCloudService.log "
         L"for more details.";
}

}  // namespace

int ZUCloudAzureService::init(const std::string& userName, const std::string& password,
                              const std::string& focus, const std::string& vestrumGUID,
                              int vestrumId, unsigned int jobId, const std::string& setId,
                              int backupLevel, unsigned int fullJobId, std::wstring& errorMessage,
                              const std::string& loginField) {
  const auto failed = [&]() -> int {
    errorMessage = L"Error: Not enough memory to initialize ZUCloudAzureService.";
    m_bFolderReady = 0;
    m_bInitialized = 0;
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), kInitTag, failed, [&]() -> int {
    ZUPI_Focus::setFocus(focus.c_str());
    ZUPI_Focus::setFocus(ZUPI_Focus::getFocus().c_str());
    m_vestrumGUID = vestrumGUID;
    m_vestrumId = vestrumId;
    // Kept to ask for fresh SAS tokens during uploads (TokenRefresh.h).
    zu::blob::RememberSetUpIds(
        this, zu::blob::SetUpIds{vestrumGUID, vestrumId, jobId, setId, backupLevel, fullJobId});
    m_evDbg->initialize(m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");
    zu::LogSettingsFileNotice(m_evDbg.get(), kInitTag);

    if (m_bAzureFunctionsMode) {
      m_evDbg->debugLvl(
          3, "ZUCloudAzureService(225): -Debug-: Azure mode: Calling InitAzureFunctions");
      return InitAzureFunctions(vestrumGUID, vestrumId, jobId, setId, backupLevel, fullJobId,
                                errorMessage);
    }

    zu::ServiceFields::TakeLogin(*this, kInitTag, userName, password, loginField);
    m_bSecured = IsHttps(m_url);

    // The identifiers stored above replaced those of any earlier init: when
    // the set-up cannot run, the object no longer counts as initialised.
    if (!SetUpArgumentsGiven(m_evDbg.get(), m_url, m_userName, m_password, vestrumGUID)) {
      m_bInitialized = 0;
      return 0;
    }

    // The set-up checks the flag; its outcome decides the final value.
    m_bInitialized = 1;
    const std::string path = kSetUpPaths.For(m_bAPIMode);
    m_evDbg->Debug(kInitTag, m_bAPIMode ? "Creating DR Backup folder in API mode"
                                        : "Creating DR Backup folder in workflow mode");
    std::wstring localMessage;
    const int ready = ExecuteDRFolderSetUpWorkflow(path, vestrumGUID, jobId, setId, backupLevel,
                                                   fullJobId, localMessage, true) != 0;
    if (ready) {
      m_evDbg->Debug(kInitTag, "Success: Folder creation is successful for user [%s]",
                     m_userName.c_str());
    } else {
      m_evDbg->Error(kInitTag,
                     "Error: Failed to create folder. Error Message [%ls]. VestrumGUID [%s] ",
                     localMessage.c_str(), vestrumGUID.c_str());
      errorMessage = SetUpFailureMessage(localMessage);
    }
    m_bFolderReady = ready;
    m_bInitialized = ready;
    return ready;
  });
}

namespace {

// The login and the set-up request; the reply's values go to `targets`.
int RunSetUp(const zu::SessionParams& params, const std::string& urlPath,
             const zu::blob::SetUpIds& ids, SetUpTargets& targets, std::wstring& errorMessage,
             bool ignoreRetryWait) {
  EvDebug* log = params.log;
  return zu::blob::RunWorkflow(
      params, kSetUp, urlPath, ids.vestrumGUID, ignoreRetryWait, errorMessage,
      [&](zu::ConsoleOperation& op) {
        op.url = params.url + urlPath;
        op.body =
            BuildSetUpBody(ids.vestrumGUID, ids.jobId, ids.setId, ids.backupLevel, ids.fullJobId);
      },
      [log, &targets](const zu::xml::ParseResult& parsed, const zu::ConsoleReply& reply) {
        return StoreSetUpReply(log, parsed, reply.response, targets, reply.errorMessage);
      });
}

}  // namespace

int ZUCloudAzureService::ExecuteDRFolderSetUpWorkflow(const std::string& urlPath,
                                                      const std::string& vestrumGUID,
                                                      unsigned int jobId, const std::string& setId,
                                                      int backupLevel, unsigned int fullJobId,
                                                      std::wstring& errorMessage,
                                                      bool ignoreRetryWait) {
  SetUpTargets targets{m_url, m_uploadURL, m_sasToken, m_bSecured};
  zu::blob::SetUpIds ids;
  ids.vestrumGUID = vestrumGUID;
  ids.jobId = jobId;
  ids.setId = setId;
  ids.backupLevel = backupLevel;
  ids.fullJobId = fullJobId;
  return RunSetUp(sessionParams(), urlPath, ids, targets, errorMessage, ignoreRetryWait);
}

namespace zu::blob {

bool AskConsoleForGrant(const SessionParams& params, bool apiMode, const SetUpIds& ids,
                        SasGrant& grant, std::string& failure) {
  std::string uploadUrl;
  std::string token;
  bool secured = false;
  SetUpTargets targets{params.url, uploadUrl, token, secured};
  std::wstring message;
  // A refresh waits for nothing: blocks of the file wait on it.
  if (RunSetUp(params, kSetUpPaths.For(apiMode), ids, targets, message, true) != 1) {
    failure =
        message.empty() ? std::string("the set-up request failed") : FXString::ToString(message);
    return false;
  }
  grant.serviceUrl = uploadUrl;
  grant.token = token;
  return true;
}

}  // namespace zu::blob
