// Azure Functions mode of the blob service: the file list (AddFileInfo),
// the JSON set-up and finalize requests, and the one POST-with-back-off
// routine they share (SendAzureRequest).
#include <memory>
#include <string>
#include <utility>

#include "ZUCloudAzureService.h"
#include "blob/setup/FileInfo.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/text/ZuJson.h"
#include "platform/threads/ZuSync.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/NoThrow.h"
#include "session/RetryLines.h"
#include "session/SessionParams.h"
#include "session/SettingsTable.h"

namespace {

constexpr const char* kBaseUrlSetting = "ZUCloudDRBackupAzureBaseUrl";
constexpr const char* kSetUpFailedMessage =
    "Error: Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
    "details.";
constexpr const char* kFinalizeFailedMessage =
    "Error: Failed to update DR Backup upload status on Tolvane Cloud. Please check "
    "ZUCloudService.log for more details.";

std::wstring Wide(const char* text) { return FXString::ToWstring(text); }

// The two lines of a decoded reply that reports a failure: `withoutMessage`
// followed by "Response: [...]" when the reply carries no "errorMessage",
// `withMessage` followed by "Message: [...] Invocation ID: [...]" otherwise.
// Returns the cloud's message ("" without one).
std::string LogReportedFailure(EvDebug* log, const ZuJsonValue& reply, const std::string& response,
                               const char* withoutMessage, const char* withMessage) {
  const std::string message = ZuJson::GetStringValue(reply, "errorMessage");
  const std::string invocationId = ZuJson::GetStringValue(reply, "invocationId");
  if (message.empty()) {
    log->error("%sResponse: [%s]", withoutMessage, response.c_str());
  } else {
    log->error("%sMessage: [%s] Invocation ID: [%s]", withMessage, message.c_str(),
               invocationId.c_str());
  }
  return message;
}

// The reply to a request that failed after its retries, logged when there
// is one (`undecodable` followed by "[...]" when it is not JSON); the
// cloud's message, when it gives one, becomes the caller's.
void ReportFailedRequest(EvDebug* log, const std::string& response, const char* undecodable,
                         const char* withoutMessage, const char* withMessage,
                         std::wstring& errorMessage) {
  if (response.empty()) return;
  ZuJsonValue reply;
  if (ZuJson::Unserialize(response, reply) != 1) {
    log->error("%s[%s]", undecodable, response.c_str());
    return;
  }
  const std::string message = LogReportedFailure(log, reply, response, withoutMessage, withMessage);
  if (!message.empty()) errorMessage = FXString::ToWstring(message);
}

// The set-up request: the job and, when files were registered, their names.
std::string BuildSetUpRequest(const std::string& vestrumGUID, int vestrumId, unsigned int jobId,
                              const std::string& setId, int backupLevel, unsigned int fullJobId,
                              const std::vector<std::shared_ptr<FileInfo>>& files) {
  ZuJsonValue request = ZuJsonValue::Object();
  request.Set("VestrumGUID", vestrumGUID);
  request.Set("VestrumId", static_cast<int>(vestrumId));
  request.Set("SetId", setId);
  request.Set("JobId", static_cast<unsigned int>(jobId));
  request.Set("BackupLevel", static_cast<int>(backupLevel));
  request.Set("FullJobId", static_cast<unsigned int>(fullJobId));
  if (!files.empty()) {
    ZuJsonValue names = ZuJsonValue::Array();
    for (const std::shared_ptr<FileInfo>& file : files) {
      ZuJsonValue entry = ZuJsonValue::Object();
      entry.Set("Name", file->fileName);
      names.Append(std::move(entry));
    }
    request.Set("Files", std::move(names));
  }
  return ZuJson::Serialize(request);
}

// The finalize request: the job and every uploaded file with its size and
// URL (a file that was not uploaded is left out with a warning).
std::string BuildFinalizeRequest(EvDebug* log, const std::string& vestrumGUID, int vestrumId,
                                 unsigned int jobId, int backupLevel,
                                 const std::vector<std::shared_ptr<FileInfo>>& fileList) {
  ZuJsonValue request = ZuJsonValue::Object();
  request.Set("VestrumGUID", vestrumGUID);
  request.Set("VestrumId", static_cast<int>(vestrumId));
  request.Set("JobId", static_cast<unsigned int>(jobId));
  request.Set("BackupLevel", static_cast<int>(backupLevel));
  ZuJsonValue files = ZuJsonValue::Array();
  for (const std::shared_ptr<FileInfo>& file : fileList) {
    if (!file->uploaded) {
      log->debug(
          "ZUCloudAzureService(744): -Warn--: File [%s] queued for upload but could "
          "not be uploaded",
          file->fileName.c_str());
      continue;
    }
    ZuJsonValue entry = ZuJsonValue::Object();
    entry.Set("Name", file->fileName);
    entry.Set("Size", static_cast<unsigned long long>(file->fileSize));
    entry.Set("Url", file->url);
    files.Append(std::move(entry));
  }
  request.Set("Files", std::move(files));
  return ZuJson::Serialize(request);
}

// The Azure Functions endpoint the operator configured, or "".
std::string ConfiguredBaseUrl() {
  return zu::SettingsSnapshot().Text(kBaseUrlSetting).value_or(std::string());
}

// Where the set-up reply's values go.
struct SetUpTargets {
  const std::string& consoleUrl;
  std::string& uploadURL;
  bool& secured;
  const std::unordered_map<std::string, unsigned long long>& fileIndex;
  std::vector<std::shared_ptr<FileInfo>>& fileList;
};

// Gives each registered file the SAS token the set-up reply lists for it.
void StoreFileTokens(EvDebug* log, const ZuJsonValue& reply, const SetUpTargets& to) {
  std::vector<ZuJsonValue> tokens;
  if (ZuJson::GetArrayValue(reply, "azureSASTokens", tokens)) {
    for (const ZuJsonValue& token : tokens) {
      if (!token.IsObject()) continue;
      const std::string name = ZuJson::GetStringValue(token, "name");
      auto it = to.fileIndex.find(name);
      if (it == to.fileIndex.end() || it->second >= to.fileList.size()) continue;
      const std::string sasToken = ZuJson::GetStringValue(token, "sasToken");
      if (!zu::IsUsableSasToken(sasToken)) {
        // Left without a token, the file's upload fails at once with its
        // own message instead of every request being refused.
        log->error(
            "ZUCloudAzureService(652): -Error-: The SAS token for file [%s] holds "
            "characters no URL can carry; the file is not uploaded.",
            name.c_str());
        continue;
      }
      to.fileList[it->second]->sasToken = sasToken;
    }
  }
}

// Reads the reply to a set-up request that succeeded: the container must
// have been created and the storage service URL must be acceptable; each
// registered file gets its SAS token. False (after the log line and the
// message) otherwise.
bool StoreSetUpReply(EvDebug* log, const std::string& response, const SetUpTargets& to,
                     std::wstring& errorMessage) {
  ZuJsonValue reply;
  if (ZuJson::Unserialize(response, reply) != 1) {
    errorMessage =
        L"Error: Failed to set up DR upload to Tolvane Cloud. Please check ZUCloudService.log "
        L"for more details.";
    log->error(
        "ZUCloudAzureService(608): -Error-: Failed to deserialize API response from "
        "Azure: [%s]",
        response.c_str());
    return false;
  }
  if (!ZuJson::GetBoolValue(reply, "containerCreated")) {
    errorMessage = Wide(kSetUpFailedMessage);
    LogReportedFailure(log, reply, response,
                       "ZUCloudAzureService(638): -Error-: Failed to create storage container "
                       "for upload. Cloud storage service may be temporarily unavailable. ",
                       "ZUCloudAzureService(636): -Error-: Failed to create storage container "
                       "for upload. ");
    return false;
  }
  const std::string serviceUrl = ZuJson::GetStringValue(reply, "azureSASServiceURL");
  if (serviceUrl.empty()) {
    errorMessage = Wide(kSetUpFailedMessage);
    log->error(
        "ZUCloudAzureService(647): -Error-: Could not find storage service URL in "
        "Azure response: [%s]",
        response.c_str());
    return false;
  }
  // JSON can carry any character, NUL included ("\u0000"): such a URL is
  // refused whole, never stored cut at the NUL.
  const zu::HandedOutUrlProblem urlProblem = zu::CheckHandedOutUrl(to.consoleUrl, serviceUrl);
  if (urlProblem != zu::HandedOutUrlProblem::kNone) {
    const std::string reason = std::string("The storage service URL given by the cloud ") +
                               zu::DescribeHandedOutUrlProblem(urlProblem) +
                               "; nothing is sent to it.";
    errorMessage =
        FXString::ToWstring("Error: Failed to set up upload to Tolvane Cloud. " + reason);
    log->error("ZUCloudAzureService(647): -Error-: %s Response: [%s]", reason.c_str(),
               response.c_str());
    return false;
  }
  to.uploadURL = serviceUrl;
  to.secured = to.uploadURL.find("https:") != std::string::npos;
  StoreFileTokens(log, reply, to);
  return true;
}

}  // namespace

void ZUCloudAzureService::AddFileInfo(std::string path) {
  if (!m_bAzureFunctionsMode) return;
  const auto failed = [&]() {
    m_evDbg->Error("AddFileInfo", "Error: Not enough memory to register file [%s].", path.c_str());
    return 0;
  };
  zu::NoThrow(m_evDbg.get(), "AddFileInfo", failed, [&]() {
    const std::string::size_type slash = path.rfind('/');
    auto info = std::make_shared<FileInfo>();
    info->fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    info->uploaded = false;

    ZuCriticalSectionLock lock(m_fileListLock.get());
    m_fileList.push_back(info);
    m_fileIndex[info->fileName] = m_fileList.size() - 1;
    return 1;
  });
}

int ZUCloudAzureService::InitAzureFunctions(const std::string& vestrumGUID, int vestrumId,
                                            unsigned int jobId, const std::string& setId,
                                            int backupLevel, unsigned int fullJobId,
                                            std::wstring& errorMessage) {
  m_bInitialized = 0;
  m_bFolderReady = 0;
  m_url.clear();
  const auto failed = [&]() -> int {
    errorMessage = Wide(kSetUpFailedMessage);
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), "InitAzureFunctions", failed, [&]() -> int {
    m_url = ConfiguredBaseUrl();
    if (m_url.empty()) {
      // The words of old, then the setting that gives the endpoint.
      errorMessage =
          L"Could not find a valid Azure API endpoint for setting up upload to Tolvane Cloud. "
          L"Set \"ZUCloudDRBackupAzureBaseUrl\" in [GlobalParam] of the settings file to the "
          L"Azure Functions base URL.";
      m_evDbg->error("ZUCloudAzureService(553): -Error-: %s",
                     FXString::ToString(errorMessage).c_str());
      return 0;
    }
    m_bSecured = FXString::CompareLeftNoCase(m_url, "https:") == 0;

    if (vestrumGUID.empty()) {
      errorMessage = L"Setup cannot proceed due to an empty Vestrum GUID.";
      m_evDbg->error("ZUCloudAzureService(566): -Error-: %s",
                     FXString::ToString(errorMessage).c_str());
      return 0;
    }

    // A job without a number or level (a test run) retries at once.
    const bool ignoreRetryWait = !(backupLevel > 0 && jobId != 0);
    m_evDbg->debug("ZUCloudAzureService(578): -Debug-: Creating DR Backup folder in Azure mode");

    const std::string request =
        BuildSetUpRequest(vestrumGUID, vestrumId, jobId, setId, backupLevel, fullJobId, m_fileList);
    std::string response;
    if (SendAzureRequest("/api/Setup", request, response, ignoreRetryWait)) {
      const SetUpTargets targets{m_url, m_uploadURL, m_bSecured, m_fileIndex, m_fileList};
      if (!StoreSetUpReply(m_evDbg.get(), response, targets, errorMessage)) return 0;
      m_evDbg->debug("ZUCloudAzureService(705): -Debug-: Success: Folder creation is successful");
      m_bFolderReady = 1;
      m_bInitialized = 1;
      return 1;
    }

    errorMessage =
        L"Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
        L"details.";
    ReportFailedRequest(m_evDbg.get(), response,
                        "ZUCloudAzureService(687): -Error-: Failed to deserialize error API "
                        "response from Azure: ",
                        "ZUCloudAzureService(699): -Error-: Failed to set up DR Backup upload on "
                        "Tolvane Cloud. Cloud storage service may be temporarily unavailable. ",
                        "ZUCloudAzureService(695): -Error-: Failed to set up DR Backup upload on "
                        "Tolvane Cloud. ",
                        errorMessage);
    return 0;
  });
}

int ZUCloudAzureService::FinalizeAzureFunctions(unsigned int jobId, int backupLevel,
                                                std::wstring& errorMessage) {
  if (m_bInitialized == 0) {
    errorMessage =
        L"Error: ZUCloudAzureService not initialized, call ZUCloudAzureService::init() first";
    return 0;
  }
  const auto failed = [&]() -> int {
    errorMessage = Wide(kFinalizeFailedMessage);
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), "FinalizeAzureFunctions", failed, [&]() -> int {
    EvDebug* log = m_evDbg.get();
    log->debug("ZUCloudAzureService(724): -Debug-: Calling DR Backup Finalize in Azure mode");
    const std::string request =
        BuildFinalizeRequest(log, m_vestrumGUID, m_vestrumId, jobId, backupLevel, m_fileList);

    std::string response;
    if (!SendAzureRequest("/api/Finalize", request, response, false)) {
      errorMessage = Wide(kFinalizeFailedMessage);
      ReportFailedRequest(log, response,
                          "ZUCloudAzureService(789): -Error-: Failed to deserialize error API "
                          "response from Azure: ",
                          "ZUCloudAzureService(802): -Error-: DR Backup upload completed but "
                          "failed to get a success response for DR Backup finalize request. "
                          "Cloud service may be temporarily unavailable. ",
                          "ZUCloudAzureService(797): -Error-: DR Backup upload completed but "
                          "failed to get a success response for DR Backup finalize request. ",
                          errorMessage);
      return 0;
    }
    ZuJsonValue reply;
    if (ZuJson::Unserialize(response, reply) != 1) {
      errorMessage = Wide(kFinalizeFailedMessage);
      log->error(
          "ZUCloudAzureService(757): -Error-: Failed to deserialize API response from "
          "Azure: [%s]",
          response.c_str());
      return 0;
    }
    if (ZuJson::GetBoolValue(reply, "isSuccess")) {
      log->debug("ZUCloudAzureService(809): -Debug-: Success: Finalize DR Backup is successful");
      return 1;
    }
    errorMessage = Wide(kFinalizeFailedMessage);
    LogReportedFailure(log, reply, response,
                       "ZUCloudAzureService(773): -Error-: DR Backup upload completed but failed "
                       "to get a success response from DR Backup finalize request. Cloud service "
                       "may be temporarily unavailable. ",
                       "ZUCloudAzureService(770): -Error-: DR Backup upload completed but failed "
                       "to get a success response from DR Backup finalize request. ");
    return 0;
  });
}

namespace {

// POSTs a JSON `body` to params.url + `urlPath` with the capped back-off.
bool PostToFunctions(const zu::SessionParams& params, int maximumBackoff,
                     const std::string& urlPath, const std::string& body, std::string& response,
                     bool ignoreRetryWait) {
  EvDebug* log = params.log;
  std::wstring unused;  // the callers word their own messages
  return zu::RunConsoleOperation(
             params, "SendAzureRequest", nullptr, unused, [&](zu::ConsoleOperation& op) {
               op.url = params.url + urlPath;
               op.body = body;
               op.headers = zu::ConsoleHeaders::kJson;
               op.lastResponse = &response;
               op.noGatewayMessage = nullptr;
               op.noGatewayLine = [&] {
                 log->error(
                     "ZUCloudAzureService(827): -Error-: Could not establish a connection to the "
                     "server [%s]. Verify firewall/proxy settings",
                     params.url.c_str());
               };
               op.wait = zu::BackoffRetry(params.retryCount, maximumBackoff, ignoreRetryWait);
               zu::RetryLineText text;
               text.immediately = "ZUCloudAzureService(859): -Error-: Azure API returned error. ";
               text.after = "ZUCloudAzureService(864): -Error-: Azure API returned error. ";
               text.total =
                   "ZUCloudAzureService(870): -Error-: Failed to get successful response from "
                   "Azure. ";
               text.totalEnd = ".";
               op.lines = zu::MakeRetryLines(log, nullptr, std::move(text));
               op.read = [](const zu::ConsoleReply& reply) {
                 int status = 0;
                 reply.gateway.getLastServerResponseCode(status);
                 if (reply.posted == 0) {
                   reply.log->debugLvl(2,
                                       "ZUCloudAzureService(853): -Debug-: Recieved response from "
                                       "Azure. Status Code [%d]",
                                       status);
                   return zu::AttemptResult::kSuccess;
                 }
                 reply.log->error(
                     "ZUCloudAzureService(847): -Error-: Azure API returned error. Status "
                     "Code [%d] Error Message [%s]",
                     status, reply.gateway.getErrorMsg().c_str());
                 return zu::AttemptResult::kRetry;
               };
             }) == 1;
}

}  // namespace

bool ZUCloudAzureService::SendAzureRequest(const std::string& urlPath, const std::string& body,
                                           std::string& response, bool ignoreRetryWait) {
  return PostToFunctions(sessionParams(), m_nMaximumBackoff, urlPath, body, response,
                         ignoreRetryWait);
}

namespace zu::blob {

bool AskFunctionsForGrant(const SessionParams& params, int maximumBackoff, const SetUpIds& ids,
                          const std::vector<std::string>& pending, const std::string& fileName,
                          SasGrant& grant, std::string& failure) {
  std::vector<std::shared_ptr<FileInfo>> files;
  std::unordered_map<std::string, unsigned long long> index;
  for (const std::string& name : pending) {
    auto info = std::make_shared<FileInfo>();
    info->fileName = name;
    index[name] = files.size();
    files.push_back(std::move(info));
  }
  const std::string request = BuildSetUpRequest(ids.vestrumGUID, ids.vestrumId, ids.jobId,
                                                ids.setId, ids.backupLevel, ids.fullJobId, files);
  std::string response;
  // A refresh waits for nothing: blocks of the file wait on it.
  if (!PostToFunctions(params, maximumBackoff, "/api/Setup", request, response, true)) {
    failure = "the Setup function failed";
    return false;
  }
  bool secured = false;
  std::wstring message;
  const SetUpTargets targets{params.url, grant.serviceUrl, secured, index, files};
  if (!StoreSetUpReply(params.log, response, targets, message)) {
    failure = FXString::ToString(message);
    return false;
  }
  auto it = index.find(fileName);
  if (it == index.end() || files[it->second]->sasToken.empty()) {
    failure = "the Setup function handed out no usable token for the file";
    return false;
  }
  grant.token = files[it->second]->sasToken;
  return true;
}

}  // namespace zu::blob
