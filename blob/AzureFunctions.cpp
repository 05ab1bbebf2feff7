// Azure Functions mode of the blob service: the file list (AddFileInfo),
// the JSON set-up and finalize requests, the one POST-with-back-off routine
// they share (SendAzureRequest), and the per-file SAS token lookup.
#include <memory>
#include <new>
#include <string>

#include "ZUCloudAzureService.h"
#include "blob/FileInfo.h"
#include "platform/EvDebug.h"
#include "platform/FXString.h"
#include "platform/ZuInternetGateway.h"
#include "platform/ZuJson.h"
#include "platform/ZuSettings.h"
#include "platform/ZuSync.h"
#include "session/GatewaySession.h"
#include "session/RetryPolicy.h"
#include "session/SessionParams.h"

namespace {

constexpr const char* kBaseUrlSetting = "ZUCloudDRBackupAzureBaseUrl";
constexpr const char* kSetUpFailedMessage =
    "Error: Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
    "details.";
constexpr const char* kFinalizeFailedMessage =
    "Error: Failed to update DR Backup upload status on Tolvane Cloud. Please check "
    "ZUCloudService.log for more details.";

std::wstring Wide(const char* text) { return FXString::ToWstring(text); }

}  // namespace

void ZUCloudAzureService::AddFileInfo(std::string path) {
  if (!m_bAzureFunctionsMode) return;
  try {
    const std::string::size_type slash = path.rfind('/');
    auto info = std::make_shared<FileInfo>();
    info->fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    info->uploaded = false;

    ZuCriticalSectionLock lock(m_fileListLock.get());
    m_fileList.push_back(info);
    m_fileIndex[info->fileName] = m_fileList.size() - 1;
  } catch (const std::bad_alloc&) {
    m_evDbg->Error("AddFileInfo", "Error: Not enough memory to register file [%s].", path.c_str());
  }
}

int ZUCloudAzureService::InitAzureFunctions(const std::string& vestrumGUID, int vestrumId,
                                            unsigned int jobId, const std::string& setId,
                                            int backupLevel, unsigned int fullJobId,
                                            std::wstring& errorMessage) {
  m_bInitialized = 0;
  m_bFolderReady = 0;
  m_url.clear();
  try {
    {
      ZUGlobalParam settings;
      std::string baseUrl;
      if (settings.get(kBaseUrlSetting, baseUrl, nullptr) == 0) m_url = baseUrl;
    }
    if (m_url.empty()) {
      errorMessage =
          L"Could not find a valid Azure API endpoint for setting up upload to Tolvane Cloud.";
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

    ZuJsonValue request = ZuJsonValue::object();
    request["VestrumGUID"] = vestrumGUID;
    request["VestrumId"] = static_cast<int>(vestrumId);
    request["SetId"] = setId;
    request["JobId"] = static_cast<unsigned int>(jobId);
    request["BackupLevel"] = static_cast<int>(backupLevel);
    request["FullJobId"] = static_cast<unsigned int>(fullJobId);
    if (!m_fileList.empty()) {
      ZuJsonValue files = ZuJsonValue::array();
      for (const std::shared_ptr<FileInfo>& file : m_fileList) {
        ZuJsonValue entry = ZuJsonValue::object();
        entry["Name"] = file->fileName;
        files.push_back(std::move(entry));
      }
      request["Files"] = std::move(files);
    }

    std::string response;
    if (SendAzureRequest("/api/Setup", ZuJson::Serialize(request), response, ignoreRetryWait)) {
      ZuJsonValue reply;
      if (ZuJson::Unserialize(response, reply) != 1) {
        errorMessage =
            L"Error: Failed to set up DR upload to Tolvane Cloud. Please check ZUCloudService.log "
            L"for more details.";
        m_evDbg->error("ZUCloudAzureService(608): -Error-: Failed to deserialize API response from "
                       "Azure: [%s]",
                       response.c_str());
        return 0;
      }
      if (!ZuJson::GetBoolValue(reply, "containerCreated")) {
        errorMessage = Wide(kSetUpFailedMessage);
        const std::string message = ZuJson::GetStringValue(reply, "errorMessage");
        const std::string invocationId = ZuJson::GetStringValue(reply, "invocationId");
        if (message.empty()) {
          m_evDbg->error("ZUCloudAzureService(638): -Error-: Failed to create storage container "
                         "for upload. Cloud storage service may be temporarily unavailable. "
                         "Response: [%s]",
                         response.c_str());
        } else {
          m_evDbg->error("ZUCloudAzureService(636): -Error-: Failed to create storage container "
                         "for upload. Message: [%s] Invocation ID: [%s]",
                         message.c_str(), invocationId.c_str());
        }
        return 0;
      }
      const std::string serviceUrl = ZuJson::GetStringValue(reply, "azureSASServiceURL");
      if (serviceUrl.empty()) {
        errorMessage = Wide(kSetUpFailedMessage);
        m_evDbg->error("ZUCloudAzureService(647): -Error-: Could not find storage service URL in "
                       "Azure response: [%s]",
                       response.c_str());
        return 0;
      }
      // JSON can carry any character, NUL included ("\u0000"): such a URL is
      // refused whole, never stored cut at the NUL.
      const zu::HandedOutUrlProblem urlProblem = zu::CheckHandedOutUrl(m_url, serviceUrl);
      if (urlProblem != zu::HandedOutUrlProblem::kNone) {
        const std::string reason = std::string("The storage service URL given by the cloud ") +
                                   zu::DescribeHandedOutUrlProblem(urlProblem) +
                                   "; nothing is sent to it.";
        errorMessage = FXString::ToWstring("Error: Failed to set up upload to Tolvane Cloud. " +
                                           reason);
        m_evDbg->error("ZUCloudAzureService(647): -Error-: %s Response: [%s]", reason.c_str(),
                       response.c_str());
        return 0;
      }
      m_uploadURL = serviceUrl;
      m_bSecured = m_uploadURL.find("https:") != std::string::npos;
      if (const ZuJsonArray* tokens = ZuJson::FindArrayValue(reply, "azureSASTokens")) {
        for (const ZuJsonValue& token : *tokens) {
          if (!token.is_object()) continue;
          const std::string name = ZuJson::GetStringValue(token, "name");
          auto it = m_fileIndex.find(name);
          if (it == m_fileIndex.end() || it->second >= m_fileList.size()) continue;
          m_fileList[it->second]->sasToken = ZuJson::GetStringValue(token, "sasToken");
        }
      }
      m_evDbg->debug("ZUCloudAzureService(705): -Debug-: Success: Folder creation is successful");
      m_bFolderReady = 1;
      m_bInitialized = 1;
      return 1;
    }

    errorMessage =
        L"Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
        L"details.";
    if (!response.empty()) {
      ZuJsonValue reply;
      if (ZuJson::Unserialize(response, reply) != 1) {
        m_evDbg->error("ZUCloudAzureService(687): -Error-: Failed to deserialize error API "
                       "response from Azure: [%s]",
                       response.c_str());
      } else {
        const std::string message = ZuJson::GetStringValue(reply, "errorMessage");
        const std::string invocationId = ZuJson::GetStringValue(reply, "invocationId");
        if (message.empty()) {
          m_evDbg->error("ZUCloudAzureService(699): -Error-: Failed to set up DR Backup upload on "
                         "Tolvane Cloud. Cloud storage service may be temporarily unavailable. "
                         "Response: [%s]",
                         response.c_str());
        } else {
          m_evDbg->error("ZUCloudAzureService(695): -Error-: Failed to set up DR Backup upload on "
                         "Tolvane Cloud. Message: [%s] Invocation ID: [%s]",
                         message.c_str(), invocationId.c_str());
          errorMessage = FXString::ToWstring(message);
        }
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    errorMessage = Wide(kSetUpFailedMessage);
    return 0;
  }
}

int ZUCloudAzureService::FinalizeAzureFunctions(unsigned int jobId, int backupLevel,
                                                std::wstring& errorMessage) {
  if (m_bInitialized == 0) {
    errorMessage = L"Error: ZUCloudAzureService not initialized, call ZUCloudAzureService::init() first";
    return 0;
  }
  try {
    m_evDbg->debug("ZUCloudAzureService(724): -Debug-: Calling DR Backup Finalize in Azure mode");

    ZuJsonValue request = ZuJsonValue::object();
    request["VestrumGUID"] = m_vestrumGUID;
    request["VestrumId"] = static_cast<int>(m_vestrumId);
    request["JobId"] = static_cast<unsigned int>(jobId);
    request["BackupLevel"] = static_cast<int>(backupLevel);
    ZuJsonValue files = ZuJsonValue::array();
    for (const std::shared_ptr<FileInfo>& file : m_fileList) {
      if (!file->uploaded) {
        m_evDbg->debug("ZUCloudAzureService(744): -Warn--: File [%s] queued for upload but could "
                       "not be uploaded",
                       file->fileName.c_str());
        continue;
      }
      ZuJsonValue entry = ZuJsonValue::object();
      entry["Name"] = file->fileName;
      entry["Size"] = static_cast<unsigned long long>(file->fileSize);
      entry["Url"] = file->url;
      files.push_back(std::move(entry));
    }
    request["Files"] = std::move(files);

    std::string response;
    const bool sent = SendAzureRequest("/api/Finalize", ZuJson::Serialize(request), response, false);
    if (sent) {
      ZuJsonValue reply;
      if (ZuJson::Unserialize(response, reply) != 1) {
        errorMessage = Wide(kFinalizeFailedMessage);
        m_evDbg->error("ZUCloudAzureService(757): -Error-: Failed to deserialize API response from "
                       "Azure: [%s]",
                       response.c_str());
        return 0;
      }
      if (ZuJson::GetBoolValue(reply, "isSuccess")) {
        m_evDbg->debug("ZUCloudAzureService(809): -Debug-: Success: Finalize DR Backup is successful");
        return 1;
      }
      errorMessage = Wide(kFinalizeFailedMessage);
      const std::string message = ZuJson::GetStringValue(reply, "errorMessage");
      const std::string invocationId = ZuJson::GetStringValue(reply, "invocationId");
      if (message.empty()) {
        m_evDbg->error("ZUCloudAzureService(773): -Error-: DR Backup upload completed but failed to "
                       "get a success response from DR Backup finalize request. Cloud service may "
                       "be temporarily unavailable. Response: [%s]",
                       response.c_str());
      } else {
        m_evDbg->error("ZUCloudAzureService(770): -Error-: DR Backup upload completed but failed to "
                       "get a success response from DR Backup finalize request. Message: [%s] "
                       "Invocation ID: [%s]",
                       message.c_str(), invocationId.c_str());
      }
      return 0;
    }

    errorMessage = Wide(kFinalizeFailedMessage);
    if (!response.empty()) {
      ZuJsonValue reply;
      if (ZuJson::Unserialize(response, reply) != 1) {
        m_evDbg->error("ZUCloudAzureService(789): -Error-: Failed to deserialize error API response "
                       "from Azure: [%s]",
                       response.c_str());
      } else {
        const std::string message = ZuJson::GetStringValue(reply, "errorMessage");
        const std::string invocationId = ZuJson::GetStringValue(reply, "invocationId");
        if (message.empty()) {
          m_evDbg->error("ZUCloudAzureService(802): -Error-: DR Backup upload completed but failed "
                         "to get a success response for DR Backup finalize request. Cloud service "
                         "may be temporarily unavailable. Response: [%s]",
                         response.c_str());
        } else {
          m_evDbg->error("ZUCloudAzureService(797): -Error-: DR Backup upload completed but failed "
                         "to get a success response for DR Backup finalize request. Message: [%s] "
                         "Invocation ID: [%s]",
                         message.c_str(), invocationId.c_str());
          errorMessage = FXString::ToWstring(message);
        }
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    errorMessage = Wide(kFinalizeFailedMessage);
    return 0;
  }
}

bool ZUCloudAzureService::SendAzureRequest(const std::string& urlPath, const std::string& body,
                                           std::string& response, bool ignoreRetryWait) {
  try {
    response.clear();
    const std::string url = m_url + urlPath;
    const zu::SessionParams params = sessionParams();
    zu::GatewayHolder gateway(params, initZuInternetGateway(url));
    if (!gateway) {
      m_evDbg->error("ZUCloudAzureService(827): -Error-: Could not establish a connection to the "
                     "server [%s]. Verify firewall/proxy settings",
                     m_url.c_str());
      return false;
    }
    const ZuCURL::commandInfoList headers = {{"Accept", "application/json"},
                                             {"Content-Type", "application/json"}};
    EvDebug* log = m_evDbg.get();

    zu::RetryOptions options;
    options.limit = m_nRetryCount;
    options.wait = zu::WaitKind::kBackoff;
    options.backoffCapSeconds = m_nMaximumBackoff;
    options.ignoreRetryWait = ignoreRetryWait;
    zu::RetryLines lines;
    lines.retryingImmediately = [log](int attempt) {
      log->error("ZUCloudAzureService(859): -Error-: Azure API returned error. Retrying immediately "
                 "since called with Ignore retry wait, retry count [%d]",
                 attempt);
    };
    lines.retryingAfter = [log](unsigned int waitMs, int attempt) {
      log->error("ZUCloudAzureService(864): -Error-: Azure API returned error. Retrying after [%d] "
                 "ms, retry count [%d]",
                 static_cast<int>(waitMs), attempt);
    };
    lines.totalRetryCount = [log](int total) {
      log->error("ZUCloudAzureService(870): -Error-: Failed to get successful response from Azure. "
                 "Total retry count [%d].",
                 total);
    };

    const zu::RetryOutcome outcome = zu::RunWithRetry(options, lines, [&](int) {
      response.clear();
      const int result = gateway->doPostOperation(url, body, response, headers);
      int status = 0;
      gateway->getLastServerResponseCode(status);
      if (result == 0) {
        log->debugLvl(2, "ZUCloudAzureService(853): -Debug-: Recieved response from Azure. Status "
                         "Code [%d]",
                      status);
        return zu::AttemptResult::kSuccess;
      }
      log->error("ZUCloudAzureService(847): -Error-: Azure API returned error. Status Code [%d] "
                 "Error Message [%s]",
                 status, gateway->getErrorMsg().c_str());
      return zu::AttemptResult::kRetry;
    });
    return outcome.succeeded;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool ZUCloudAzureService::GetSASTokenForFile(const std::string& fileName, std::string& token) {
  if (!m_bAzureFunctionsMode) {
    token = m_sasToken;
    return true;
  }
  auto it = m_fileIndex.find(fileName);
  if (it == m_fileIndex.end() || it->second >= m_fileList.size()) {
    m_evDbg->error("ZUCloudAzureService(892): -Error-: Could not find upload token for file [%s]",
                   fileName.c_str());
    return false;
  }
  token = m_fileList[it->second]->sasToken;
  return true;
}
