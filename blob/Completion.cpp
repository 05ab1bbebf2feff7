// ZUCloudAzureService::ExecuteDRCompleteWorkflow: reports a finished DR
// backup and its uploaded files to the cloud (web console in API or workflow
// mode; the Azure Functions finalize request otherwise).
#include <algorithm>
#include <cctype>
#include <memory>
#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/FileInfo.h"
#include "platform/EvDebug.h"
#include "platform/XmlDom.h"
#include "platform/ZuInternetGateway.h"
#include "session/GatewaySession.h"
#include "session/RetryPolicy.h"
#include "session/WorkflowReply.h"
#include "session/SessionParams.h"

namespace {

constexpr const char* kTag = "ExecuteDRCompleteWorkflow";
constexpr unsigned int kCompletionRetryWaitMs = 120000;

constexpr const char* kApiFinalizePath = "/api/zudrbackup/finalize";
constexpr const char* kWorkflowFinalizePath =
    "/api/Workflow/Finalize_DRBackup_ZUCloud/Action/Execute?outputonly=true";

// The workflow input of the completion request, on one line: the uploaded
// files in list order. Values are XML-escaped; ordinary values come out byte
// for byte as given.
std::string BuildCompletionBody(const std::string& vestrumGUID, unsigned int jobId,
                                const std::vector<std::shared_ptr<FileInfo>>& files,
                                int backupLevel) {
  using zu::xml::Escape;
  std::string body = "<Workflow_StartWorkflow><options><inputs><VestrumGUID>";
  body += Escape(vestrumGUID);
  body += "</VestrumGUID><JobId>";
  body += std::to_string(jobId);
  body += "</JobId>";
  for (const std::shared_ptr<FileInfo>& file : files) {
    if (!file->uploaded) continue;
    body += "<FileName>";
    body += Escape(file->fileName);
    body += "</FileName><FileSize>";
    body += std::to_string(file->fileSize);
    body += "</FileSize><FullFilePath>";
    body += Escape(file->url);
    body += "</FullFilePath>";
  }
  body += "<BackupLevel>";
  body += std::to_string(backupLevel);
  body += "</BackupLevel></inputs></options><outputFormat>0</outputFormat></Workflow_StartWorkflow>";
  return body;
}

// The reply's verdict: the last "isSuccess" child of the root, read as a
// boolean word ("true" in any case).
bool ReplySaysSuccess(const zu::xml::ParseResult& parsed) {
  bool success = false;
  for (const zu::xml::Element& child : parsed.children) {
    if (child.name != "isSuccess") continue;
    std::string value = child.text;
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    success = value == "true";
  }
  return success;
}

}  // namespace

int ZUCloudAzureService::ExecuteDRCompleteWorkflow(unsigned int jobId, int backupLevel,
                                                   std::wstring& errorMessage) {
  try {
    if (m_bAzureFunctionsMode) {
      m_evDbg->debugLvl(3, "ZUCloudAzureService(1723): -Debug-: Azure mode: Calling FinalizeAzureFunctions");
      return FinalizeAzureFunctions(jobId, backupLevel, errorMessage);
    }
    std::string url;
    if (m_bAPIMode) {
      url = m_url + kApiFinalizePath;
      m_evDbg->Debug(kTag, "Calling DR Backup Finalize in API mode");
    } else {
      url = m_url + kWorkflowFinalizePath;
      m_evDbg->Debug(kTag, "Calling DR Backup Finalize in workflow mode");
    }

    if (m_bInitialized == 0) {
      errorMessage = sessionParams().notInitializedMessage();
      return 0;
    }
    std::string sessionToken;
    if (DoLogin(errorMessage, sessionToken, false) == 0) return 0;

    const zu::SessionParams params = sessionParams();
    zu::GatewayHolder gateway(params, initZuInternetGateway(url));
    if (!gateway) {
      errorMessage = L"Error: ZUInternetGateway not initialized";
      return 0;
    }
    const ZuCURL::commandInfoList headers = {{"Accept", "application/xml"},
                                             {"Authtoken", sessionToken},
                                             {"Content-type", "application/xml"}};
    const std::string body = BuildCompletionBody(m_vestrumGUID, jobId, m_fileList, backupLevel);
    EvDebug* log = m_evDbg.get();
    const std::string& guid = m_vestrumGUID;

    zu::RetryOptions options;
    options.limit = m_nRetryCount;
    options.wait = zu::WaitKind::kFixed;
    options.fixedMs = kCompletionRetryWaitMs;
    options.ignoreRetryWait = false;
    options.totalCount = zu::TotalCount::kAttemptsBeforeEarlyStop;
    zu::RetryLines lines;
    lines.retryingAfter = [&](unsigned int waitMs, int attempt) {
      log->Error(kTag,
                 "Error: Failed to execute Finalize DR workflow in cloud for Vestrum GUID [%s]. "
                 "Retrying after [%d] ms, retry count [%d]",
                 guid.c_str(), static_cast<int>(waitMs), attempt);
    };
    lines.totalRetryCount = [&](int total) {
      log->Error(kTag,
                 "Error: Failed to execute Finalize DR workflow in cloud for Vestrum GUID [%s]. "
                 "Total retry count [%d]",
                 guid.c_str(), total);
    };

    const zu::RetryOutcome outcome = zu::RunWithRetry(options, lines, [&](int) {
      std::string response;
      const int result = gateway->doPostOperation(url, body, response, headers);
      log->DebugLvl(2, kTag, "Calling Finalize DR workflow in cloud: request [%s], Response: [%s]",
                    body.c_str(), response.c_str());
      if (result != 0) {
        zu::LogWorkflowPostFailure(log, kTag, "Finalize DR workflow", url, guid,
                                   gateway->getErrorMsg(), response);
        errorMessage = L"Failed to execute Finalize DR workflow.";
        return zu::AttemptResult::kRetry;
      }

      const zu::xml::ParseResult parsed = zu::xml::ParseRootChildren(response);
      switch (parsed.status) {
        case zu::xml::ParseStatus::kPlatformInitFailed:
          zu::ReportXmlPlatformFailure(log, kTag, parsed.message, errorMessage);
          return zu::AttemptResult::kStop;
        case zu::xml::ParseStatus::kNoRoot:
          log->Error(kTag,
                     "Error: Failed to retrieve return value from Finalize DR workflow. Server "
                     "responded with response [%s]",
                     response.c_str());
          errorMessage = L"Error: Failed to retrieve return value from Finalize DR workflow.";
          return zu::AttemptResult::kRetryNow;
        case zu::xml::ParseStatus::kXmlError:
          log->Error(kTag,
                     "Error: Failed to parse ZU Cloud Finalize DR workflow response : [%s] : URL "
                     "[%s] and vestrum ID [%s]. Error Message[%s]",
                     response.c_str(), url.c_str(), guid.c_str(), parsed.message.c_str());
          return zu::AttemptResult::kRetry;
        case zu::xml::ParseStatus::kOtherError:
          log->Error(kTag,
                     "Error: Failed to parse ZU Cloud Finalize DR workflow response : [%s] : URL "
                     "[%s] and vestrum ID [%s]. Error Message: Unknown error",
                     response.c_str(), url.c_str(), guid.c_str());
          return zu::AttemptResult::kRetry;
        case zu::xml::ParseStatus::kOk:
          break;
      }
      if (!ReplySaysSuccess(parsed)) return zu::AttemptResult::kRetry;
      log->Debug(kTag, "Success: Finalize DR Backup is successful for user [%s]",
                 m_userName.c_str());
      return zu::AttemptResult::kSuccess;
    });
    // A completion the cloud never confirmed must not reach the caller
    // without a word, even when no attempt produced a message of its own.
    if (!outcome.succeeded && errorMessage.empty()) {
      errorMessage =
          L"Error: Failed to execute Finalize DR workflow. Please check ZUCloudService.log for "
          L"more details.";
    }
    return outcome.succeeded ? 1 : 0;
  } catch (const std::bad_alloc&) {
    errorMessage = L"Failed to execute Finalize DR workflow.";
    return 0;
  }
}
