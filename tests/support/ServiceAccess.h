// Test seams: service subclasses that expose the protected members.
#ifndef ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H
#define ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H

#include "ZUCloudAzureService.h"
#include "ZUCloudService.h"
#include "platform/log/EvDebug.h"
#include "session/SessionParams.h"

namespace zutest {

class FolderServiceAccess : public ZUCloudService {
 public:
  using ZUCloudService::m_bEnableTCPKeepAlive;
  using ZUCloudService::m_bFolderReady;
  using ZUCloudService::m_bInitialized;
  using ZUCloudService::m_bSecured;
  using ZUCloudService::m_chunkSize;
  using ZUCloudService::m_evDbg;
  using ZUCloudService::m_folderPath;
  using ZUCloudService::m_loginExtra;
  using ZUCloudService::m_logInstance;
  using ZUCloudService::m_nKeepIdleSeconds;
  using ZUCloudService::m_nKeepIntervalSeconds;
  using ZUCloudService::m_nRetryCount;
  using ZUCloudService::m_password;
  using ZUCloudService::m_shareID;
  using ZUCloudService::m_uploadURL;
  using ZUCloudService::m_url;
  using ZUCloudService::m_userName;

  // Opens the log and marks the object initialised without running init.
  void forceInitialized(const std::string& url, const std::string& user,
                        const std::string& plainPassword) {
    m_evDbg->initialize(m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");
    m_url = url;
    m_userName = user;
    setPassword(plainPassword);
    m_bSecured = url.find("https:") != std::string::npos;
    m_bInitialized = 1;
  }
};

class BlobServiceAccess : public ZUCloudAzureService {
 public:
  using ZUCloudAzureService::m_bAPIMode;
  using ZUCloudAzureService::m_bAzureFunctionsMode;
  using ZUCloudAzureService::m_bEnableTCPKeepAlive;
  using ZUCloudAzureService::m_bFolderReady;
  using ZUCloudAzureService::m_bInitialized;
  using ZUCloudAzureService::m_bSecured;
  using ZUCloudAzureService::m_evDbg;
  using ZUCloudAzureService::m_fileIndex;
  using ZUCloudAzureService::m_fileList;
  using ZUCloudAzureService::m_loginExtra;
  using ZUCloudAzureService::m_logInstance;
  using ZUCloudAzureService::m_nKeepIdleSeconds;
  using ZUCloudAzureService::m_nKeepIntervalSeconds;
  using ZUCloudAzureService::m_nMaximumBackoff;
  using ZUCloudAzureService::m_nRetryCount;
  using ZUCloudAzureService::m_password;
  using ZUCloudAzureService::m_sasToken;
  using ZUCloudAzureService::m_uploadBlobSize;
  using ZUCloudAzureService::m_uploadStreamCount;
  using ZUCloudAzureService::m_uploadURL;
  using ZUCloudAzureService::m_url;
  using ZUCloudAzureService::m_userName;
  using ZUCloudAzureService::m_vestrumGUID;
  using ZUCloudAzureService::m_vestrumId;

  void forceInitialized(const std::string& url, const std::string& user,
                        const std::string& plainPassword) {
    m_evDbg->initialize(m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");
    m_url = url;
    m_userName = user;
    setPassword(plainPassword);
    m_bSecured = url.find("https:") != std::string::npos;
    m_bInitialized = 1;
  }
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H
