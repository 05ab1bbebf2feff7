// Test seams: service subclasses that expose the protected members.
#ifndef ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H
#define ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H

#include <string>

#include "ZUCloudAzureService.h"
#include "ZUCloudService.h"
#include "platform/log/EvDebug.h"
#include "session/SessionParams.h"

namespace zutest {

// Adds to either service a way to open the log and mark the object
// initialised without running init.
template <class Service>
class ForcedInit : public Service {
 public:
  void forceInitialized(const std::string& url, const std::string& user,
                        const std::string& plainPassword) {
    this->m_evDbg->initialize(this->m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");
    this->m_url = url;
    this->m_userName = user;
    this->setPassword(plainPassword);
    this->m_bSecured = url.find("https:") != std::string::npos;
    this->m_bInitialized = 1;
  }
};

class FolderServiceAccess : public ForcedInit<ZUCloudService> {
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
};

class BlobServiceAccess : public ForcedInit<ZUCloudAzureService> {
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
};

}  // namespace zutest

#endif  // ZUCLOUD_TESTS_SUPPORT_SERVICE_ACCESS_H
