// ZUCloudAzureService::ExecuteDRCompleteWorkflow: reports a finished DR
// backup and its uploaded files to the cloud (web console in API or workflow
// mode; the Azure Functions finalize request otherwise).
#include <memory>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/setup/ConsoleWorkflow.h"
#include "blob/setup/FileInfo.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"
#include "session/NoThrow.h"
#include "session/SessionParams.h"
#include "session/WorkflowInput.h"
#include "session/WorkflowReply.h"

namespace {

constexpr const char* kTag = "ExecuteDRCompleteWorkflow";
constexpr zu::blob::WorkflowPaths kFinalizePaths = {
    "/api/zudrbackup/finalize",
    "/api/Workflow/Finalize_DRBackup_ZUCloud/Action/Execute?outputonly=true",
};

// The workflow input of the completion request: the uploaded files in list
// order.
std::string BuildCompletionBody(const std::string& vestrumGUID, unsigned int jobId,
                                const std::vector<std::shared_ptr<FileInfo>>& files,
                                int backupLevel) {
  zu::WorkflowInput input;
  input.Text("VestrumGUID", vestrumGUID).Number("JobId", jobId);
  for (const std::shared_ptr<FileInfo>& file : files) {
    if (!file->uploaded) continue;
    input.Text("FileName", file->fileName)
        .Number("FileSize", file->fileSize)
        .Text("FullFilePath", file->url);
  }
  return input.Number("BackupLevel", backupLevel).Finish();
}

// The reply's verdict: the last "isSuccess" child of the root, read as a
// boolean word ("true" in any case).
bool ReplySaysSuccess(const zu::xml::ParseResult& parsed) {
  bool success = false;
  for (const zu::xml::Element& child : parsed.children) {
    if (child.name != "isSuccess") continue;
    success = FXString::EqualsNoCase(child.text, "true");
  }
  return success;
}

constexpr zu::blob::Workflow kCompletion = {
    kTag, "Finalize DR workflow", L"Failed to execute Finalize DR workflow.",
    zu::blob::ReplyRules("ZU Cloud Finalize DR workflow",
                         "Error: Failed to retrieve return value from Finalize DR workflow.",
                         L"Error: Failed to retrieve return value from Finalize DR workflow.",
                         zu::AttemptResult::kRetry)};

}  // namespace

int ZUCloudAzureService::ExecuteDRCompleteWorkflow(unsigned int jobId, int backupLevel,
                                                   std::wstring& errorMessage) {
  const auto failed = [&]() -> int {
    errorMessage = L"Failed to execute Finalize DR workflow.";
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), kTag, failed, [&]() -> int {
    if (m_bAzureFunctionsMode) {
      m_evDbg->debugLvl(
          3, "ZUCloudAzureService(1723): -Debug-: Azure mode: Calling FinalizeAzureFunctions");
      return FinalizeAzureFunctions(jobId, backupLevel, errorMessage);
    }
    const std::string url = m_url + kFinalizePaths.For(m_bAPIMode);
    m_evDbg->Debug(kTag, m_bAPIMode ? "Calling DR Backup Finalize in API mode"
                                    : "Calling DR Backup Finalize in workflow mode");
    EvDebug* log = m_evDbg.get();
    return zu::blob::RunWorkflow(
        sessionParams(), kCompletion, url, m_vestrumGUID, false, errorMessage,
        [&](zu::ConsoleOperation& op) {
          op.url = url;
          op.body = BuildCompletionBody(m_vestrumGUID, jobId, m_fileList, backupLevel);
          op.retryLineSet = zu::kRetryingAfterLine | zu::kTotalRetryCountLine;
          op.postTrace = "Calling Finalize DR workflow in cloud: request [%s], Response: [%s]";
          // A completion the cloud never confirmed must not reach the caller
          // without a word, even when no attempt produced a message of its own.
          op.fallbackMessage =
              L"Error: Failed to execute Finalize DR workflow. Please check ZUCloudService.log for "
              L"more details.";
        },
        [this, log](const zu::xml::ParseResult& parsed, const zu::ConsoleReply&) {
          if (!ReplySaysSuccess(parsed)) return zu::AttemptResult::kRetry;
          log->Debug(kTag, "Success: Finalize DR Backup is successful for user [%s]",
                     m_userName.c_str());
          return zu::AttemptResult::kSuccess;
        });
  });
}
