// ZUCloudAzureService::init and the web-console set-up
// (ExecuteDRFolderSetUpWorkflow): mode selection, login, and the one XML
// request that yields the storage service URL and the container SAS token.
#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "platform/EvDebug.h"
#include "platform/FXString.h"
#include "platform/XmlDom.h"
#include "platform/ZUPIFocus.h"
#include "platform/ZuInternetGateway.h"
#include "session/GatewaySession.h"
#include "session/RetryPolicy.h"
#include "session/WorkflowReply.h"
#include "session/ServiceSettings.h"
#include "session/SessionParams.h"

namespace {

constexpr const char* kInitTag = "init";
constexpr const char* kSetUpTag = "ExecuteDRFolderSetUpWorkflow";
constexpr unsigned int kSetUpRetryWaitMs = 120000;

constexpr const char* kApiSetUpPath = "/api/zudrbackup/setup";
constexpr const char* kWorkflowSetUpPath =
    "/api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute?outputonly=true";

// The workflow input of the set-up request, on one line. Values are
// XML-escaped; ordinary values come out byte for byte as given.
std::string BuildSetUpBody(const std::string& vestrumGUID, unsigned int jobId,
                           const std::string& setId, int backupLevel, unsigned int fullJobId) {
  using zu::xml::Escape;
  std::string body = "<Workflow_StartWorkflow><options><inputs><VestrumGUID>";
  body += Escape(vestrumGUID);
  body += "</VestrumGUID><SetID>";
  body += Escape(setId);
  body += "</SetID><JobId>";
  body += std::to_string(jobId);
  body += "</JobId><BackupLevel>";
  body += std::to_string(backupLevel);
  body += "</BackupLevel><FullJobId>";
  body += std::to_string(fullJobId);
  body += "</FullJobId></inputs></options><outputFormat>0</outputFormat></Workflow_StartWorkflow>";
  return body;
}

bool IsHttps(const std::string& url) { return url.find("https:") != std::string::npos; }

}  // namespace

int ZUCloudAzureService::init(const std::string& userName, const std::string& password,
                              const std::string& focus, const std::string& vestrumGUID,
                              int vestrumId, unsigned int jobId, const std::string& setId,
                              int backupLevel, unsigned int fullJobId,
                              std::wstring& errorMessage, const std::string& loginField) {
  try {
    ZUPI_Focus::setFocus(focus.c_str());
    ZUPI_Focus::setFocus(ZUPI_Focus::getFocus().c_str());
    m_vestrumGUID = vestrumGUID;
    m_vestrumId = vestrumId;
    m_evDbg->initialize(m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");

    if (m_bAzureFunctionsMode) {
      m_evDbg->debugLvl(3, "ZUCloudAzureService(225): -Debug-: Azure mode: Calling InitAzureFunctions");
      return InitAzureFunctions(vestrumGUID, vestrumId, jobId, setId, backupLevel, fullJobId,
                                errorMessage);
    }

    m_url = zu::ResolveCloudUrl(m_url);
    m_password = zu::EncodePassword(password);
    m_userName = userName;
    m_loginExtra = loginField;
    m_bSecured = IsHttps(m_url);

    if (m_url.empty() || m_userName.empty() || m_password.empty()) {
      m_evDbg->Error(kInitTag,
                     "Error: Failed to create DR backup folder at URL [%s]. Error: empty "
                     "username or password provided.",
                     m_url.c_str());
      m_bInitialized = 0;
      return 0;
    }
    // An empty GUID leaves nothing to set up. The identifiers stored above
    // replaced those of any earlier init, so the object no longer counts as
    // initialised: uploads and the completion must not run with an empty
    // GUID.
    if (vestrumGUID.empty()) {
      m_bInitialized = 0;
      return 0;
    }

    // The set-up checks the flag; its outcome decides the final value.
    m_bInitialized = 1;
    std::string path;
    if (m_bAPIMode) {
      path = kApiSetUpPath;
      m_evDbg->Debug(kInitTag, "Creating DR Backup folder in API mode");
    } else {
      path = kWorkflowSetUpPath;
      m_evDbg->Debug(kInitTag, "Creating DR Backup folder in workflow mode");
    }

    std::wstring localMessage;
    if (ExecuteDRFolderSetUpWorkflow(path, vestrumGUID, jobId, setId, backupLevel, fullJobId,
                                     localMessage, true) != 0) {
      m_evDbg->Debug(kInitTag, "Success: Folder creation is successful for user [%s]",
                     m_userName.c_str());
      m_bFolderReady = 1;
      m_bInitialized = 1;
      return 1;
    }
    m_evDbg->Error(kInitTag, "Error: Failed to create folder. Error Message [%ls]. VestrumGUID [%s] ",
                   localMessage.c_str(), vestrumGUID.c_str());
    errorMessage = localMessage;
    if (errorMessage.empty()) {
      // Some set-up failures (an unreadable reply) carry no message of
      // their own; the caller still learns that the set-up failed.
      errorMessage =
          L"Error: Failed to set up DR backup upload in cloud. Please check ZUCloudService.log "
          L"for more details.";
    }
    m_bFolderReady = 0;
    m_bInitialized = 0;
    return 0;
  } catch (const std::bad_alloc&) {
    errorMessage = L"Error: Not enough memory to initialize ZUCloudAzureService.";
    m_bFolderReady = 0;
    m_bInitialized = 0;
    return 0;
  }
}

int ZUCloudAzureService::ExecuteDRFolderSetUpWorkflow(
    const std::string& urlPath, const std::string& vestrumGUID, unsigned int jobId,
    const std::string& setId, int backupLevel, unsigned int fullJobId,
    std::wstring& errorMessage, bool ignoreRetryWait) {
  if (m_bInitialized == 0) {
    errorMessage = sessionParams().notInitializedMessage();
    return 0;
  }
  try {
    std::string sessionToken;
    if (DoLogin(errorMessage, sessionToken, ignoreRetryWait) == 0) return 0;

    const zu::SessionParams params = sessionParams();
    const std::string url = m_url + urlPath;
    zu::GatewayHolder gateway(params, initZuInternetGateway(url));
    if (!gateway) {
      errorMessage = L"Error: ZUInternetGateway not initialized";
      return 0;
    }

    const ZuCURL::commandInfoList headers = {{"Accept", "application/xml"},
                                             {"Authtoken", sessionToken},
                                             {"Content-type", "application/xml"}};
    const std::string body = BuildSetUpBody(vestrumGUID, jobId, setId, backupLevel, fullJobId);
    EvDebug* log = m_evDbg.get();

    zu::RetryOptions options;
    options.limit = m_nRetryCount;
    options.wait = zu::WaitKind::kFixed;
    options.fixedMs = kSetUpRetryWaitMs;
    options.ignoreRetryWait = ignoreRetryWait;
    options.totalCount = zu::TotalCount::kAttemptsBeforeEarlyStop;
    zu::RetryLines lines;
    lines.retryingImmediately = [&](int attempt) {
      log->Error(kSetUpTag,
                 "Error: Failed to execute DR setup workflow in cloud for Vestrum GUID [%s]. "
                 "Retrying immediately since called with Ignore retry wait, retry count [%d]",
                 vestrumGUID.c_str(), attempt);
    };
    lines.retryingAfter = [&](unsigned int waitMs, int attempt) {
      log->Error(kSetUpTag,
                 "Error: Failed to execute DR setup workflow in cloud for Vestrum GUID [%s]. "
                 "Retrying after [%d] ms, retry count [%d]",
                 vestrumGUID.c_str(), static_cast<int>(waitMs), attempt);
    };
    lines.totalRetryCount = [&](int total) {
      log->Error(kSetUpTag,
                 "Error: Failed to execute DR setup workflow in cloud for Vestrum GUID [%s]. "
                 "Total retry count [%d]",
                 vestrumGUID.c_str(), total);
    };

    bool urlReceived = false;
    bool tokenReceived = false;
    const zu::RetryOutcome outcome = zu::RunWithRetry(options, lines, [&](int) {
      std::string response;
      const int result = gateway->doPostOperation(url, body, response, headers);
      int status = 0;
      gateway->getLastServerResponseCode(status);  // recorded by the gateway; not decisive
      if (result != 0) {
        zu::LogWorkflowPostFailure(log, kSetUpTag, "DR setup workflow", urlPath, vestrumGUID,
                                   gateway->getErrorMsg(), response);
        errorMessage = L"Failed to create DR backup folder.";
        return zu::AttemptResult::kRetry;
      }

      const zu::xml::ParseResult parsed = zu::xml::ParseRootChildren(response);
      switch (parsed.status) {
        case zu::xml::ParseStatus::kPlatformInitFailed:
          zu::ReportXmlPlatformFailure(log, kSetUpTag, parsed.message, errorMessage);
          return zu::AttemptResult::kStop;
        case zu::xml::ParseStatus::kNoRoot:
          log->Error(kSetUpTag, "Error: Failed to retrieve SAS Token. Server responded with response [%s]",
                     response.c_str());
          errorMessage = L"Error: Failed to retrieve DR set up information from Tolvane Cloud.";
          return zu::AttemptResult::kRetryNow;
        case zu::xml::ParseStatus::kXmlError:
          log->Error(kSetUpTag,
                     "Error: Failed to parse ZU Cloud DR setup workflow response : [%s] : URL [%s] "
                     "and vestrum ID [%s]. Error Message[%s]",
                     response.c_str(), urlPath.c_str(), vestrumGUID.c_str(),
                     parsed.message.c_str());
          return zu::AttemptResult::kStop;
        case zu::xml::ParseStatus::kOtherError:
          log->Error(kSetUpTag,
                     "Error: Failed to parse ZU Cloud DR setup workflow response : [%s] : URL [%s] "
                     "and vestrum ID [%s]. Error Message: Unknown error",
                     response.c_str(), urlPath.c_str(), vestrumGUID.c_str());
          return zu::AttemptResult::kStop;
        case zu::xml::ParseStatus::kOk:
          break;
      }

      zu::HandedOutUrlProblem urlProblem = zu::HandedOutUrlProblem::kNone;
      for (const zu::xml::Element& child : parsed.children) {
        if (child.name == "AzureSASServiceURL") {
          // A refused URL is never stored: no block may go to it.
          const zu::HandedOutUrlProblem problem = zu::CheckHandedOutUrl(m_url, child.text);
          if (problem != zu::HandedOutUrlProblem::kNone) {
            urlProblem = problem;
            continue;
          }
          m_uploadURL = child.text;
          if (!child.text.empty()) {
            urlReceived = true;
            m_bSecured = IsHttps(m_uploadURL);
          }
        } else if (child.name == "AzureSASToken") {
          m_sasToken = child.text;
          if (!child.text.empty()) tokenReceived = true;
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
      if (urlReceived && tokenReceived) return zu::AttemptResult::kSuccess;
      log->Error(kSetUpTag,
                 "Error: Failed to retrieve SAS Token from ZU Cloud DR setup workflow response : "
                 "[%s]",
                 response.c_str());
      return zu::AttemptResult::kStop;
    });
    return outcome.succeeded ? 1 : 0;
  } catch (const std::bad_alloc&) {
    errorMessage = L"Failed to create DR backup folder.";
    return 0;
  }
}
