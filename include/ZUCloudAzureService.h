// ZUCloudAzureService: the blob upload service.
//
// Prepares a DR backup upload in one of three modes fixed by settings (the
// web console's REST API, its workflows, or a pair of Azure Functions
// endpoints), stores each file as an Azure block blob (UploadFile) and
// reports the finished backup (ExecuteDRCompleteWorkflow).
//
// Results are 1 for success and 0 for failure; failures carry a user-facing
// message in the wide-string argument and the detail goes to the log file
// "ZUCloudService.log". No exception leaves any operation.
//
// Thread safety: an object is used by one thread at a time. UploadFile runs
// a producer thread and a pool of uploader threads of its own and joins them
// all before it returns.
#ifndef ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H
#define ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZuCloudExport.h"

class EvDebug;
class EvDebugFileInstance;
class ZuCriticalSection;
struct FileInfo;
namespace LIBCURL {
class ZuInternetGateway;
}
namespace zu {
struct SessionParams;
}

class ZUCLOUD_EXPORT ZUCloudAzureService {
 public:
  ZUCloudAzureService();
  ~ZUCloudAzureService();
  ZUCloudAzureService(const ZUCloudAzureService&) = delete;
  ZUCloudAzureService& operator=(const ZUCloudAzureService&) = delete;

  void setURL(const std::string& url);
  void setUploadURL(const std::string& url);
  void setUserName(const std::string& name);
  // Stores the Base64 form of `password` (without line breaks).
  void setPassword(const std::string& password);

  int init(const std::string& userName, const std::string& password,
           const std::string& focus, const std::string& vestrumGUID,
           int vestrumId, unsigned int jobId, const std::string& setId,
           int backupLevel, unsigned int fullJobId, std::wstring& errorMessage,
           const std::string& loginField);

  LIBCURL::ZuInternetGateway* initZuInternetGateway(const std::string& url);
  void closeZuInternetGateway(LIBCURL::ZuInternetGateway* gateway);
  int DoLogin(std::wstring& error, std::string& sessionToken,
              bool ignoreRetryWait);
  int isValidAccount(std::wstring& error);

  int ExecuteDRFolderSetUpWorkflow(const std::string& urlPath,
                                   const std::string& vestrumGUID,
                                   unsigned int jobId, const std::string& setId,
                                   int backupLevel, unsigned int fullJobId,
                                   std::wstring& errorMessage,
                                   bool ignoreRetryWait);

  // Azure Functions mode: registers a file (by the name after its last "/")
  // before init asks for one upload token per file. No effect otherwise.
  void AddFileInfo(std::string path);
  int InitAzureFunctions(const std::string& vestrumGUID, int vestrumId,
                         unsigned int jobId, const std::string& setId,
                         int backupLevel, unsigned int fullJobId,
                         std::wstring& errorMessage);
  int FinalizeAzureFunctions(unsigned int jobId, int backupLevel,
                             std::wstring& errorMessage);
  bool SendAzureRequest(const std::string& urlPath, const std::string& body,
                        std::string& response, bool ignoreRetryWait);
  bool GetSASTokenForFile(const std::string& fileName, std::string& token);

  // Uploads localDir + fileName as the block blob folder/fileName; returns 1
  // once its block list was committed.
  int UploadFile(std::string localDir, std::string fileName,
                 std::string remoteFolder, std::wstring& errorMessage);
  // Thread entry points of UploadFile; `args` is its per-call upload state.
  static unsigned int UploadBlobChunks(void* args);
  static unsigned int UploadBlob(void* args);
  int UploadBlockList(const std::vector<std::string>& blockIds,
                      const std::string& remoteFolder,
                      const std::string& fileName, const std::string& sasToken,
                      std::wstring& errorMessage);

  // Reports the uploaded files of this DR backup to the cloud.
  int ExecuteDRCompleteWorkflow(unsigned int jobId, int backupLevel,
                                std::wstring& errorMessage);

 protected:
  zu::SessionParams sessionParams() const;
  // UploadBlockList that also gives the blob its Content-MD5 property (the
  // Base64 MD5 of the whole file) and its access tier; "" leaves either as
  // the service's default.
  int CommitBlockList(const std::vector<std::string>& blockIds,
                      const std::string& remoteFolder,
                      const std::string& fileName, const std::string& sasToken,
                      const std::string& fileMd5Base64,
                      const std::string& accessTier, std::wstring& errorMessage);

  std::string m_url;
  std::string m_uploadURL;
  std::string m_userName;
  std::string m_password;  // Base64, no line feeds
  std::string m_sasToken;
  std::string m_loginExtra;
  std::string m_vestrumGUID;
  int m_bInitialized;
  int m_bFolderReady;
  bool m_bSecured;
  std::unique_ptr<EvDebug> m_evDbg;
  std::unique_ptr<EvDebugFileInstance> m_logInstance;
  long long m_uploadBlobSize;
  long long m_uploadStreamCount;
  int m_nRetryCount;
  int m_nMaximumBackoff;
  int m_vestrumId;
  bool m_bAPIMode;
  bool m_bAzureFunctionsMode;
  long long m_nKeepIdleSeconds;
  long long m_nKeepIntervalSeconds;
  bool m_bEnableTCPKeepAlive;
  // m_fileList and m_fileIndex are appended to only while holding
  // m_fileListLock.
  std::unordered_map<std::string, unsigned long long> m_fileIndex;
  std::vector<std::shared_ptr<FileInfo>> m_fileList;
  std::unique_ptr<ZuCriticalSection> m_fileListLock;
};

#endif  // ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H
