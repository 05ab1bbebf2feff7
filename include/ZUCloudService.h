// ZUCloudService: the folder upload service.
//
// Logs in to the cloud's web console, prepares the deployment's DR backup
// folder in a drive share (init), creates sub-folders (CreateDRFolder) and
// uploads files in resumable 4 MiB chunks (UploadFile).
//
// Results are 1 for success and 0 for failure; failures carry a user-facing
// message in the wide-string argument and the detail goes to the log file
// "ZUCloudService.log". No exception leaves any operation.
//
// Thread safety: an object is used by one thread at a time. Every cloud
// operation opens, uses and closes its own HTTP gateway; nothing outlives the
// call that made it.
#ifndef ZUCLOUD_ZU_CLOUD_SERVICE_H
#define ZUCLOUD_ZU_CLOUD_SERVICE_H

#include <list>
#include <memory>
#include <string>

#include "ZuCloudExport.h"

class EvDebug;
class EvDebugFileInstance;
namespace LIBCURL {
class ZuInternetGateway;
}
namespace ZuCURL {
struct commandInfo;
}
namespace zu {
struct SessionParams;
}

class ZUCLOUD_EXPORT ZUCloudService {
 public:
  ZUCloudService();
  ~ZUCloudService();
  ZUCloudService(const ZUCloudService&) = delete;
  ZUCloudService& operator=(const ZUCloudService&) = delete;

  void setURL(const std::string& url);
  void setUploadURL(const std::string& url);
  void setUserName(const std::string& name);
  // Stores the Base64 form of `password` (without line breaks), never the
  // plain text.
  void setPassword(const std::string& password);

  // Logs in and runs the DR folder set-up; returns 1 when the credentials
  // were complete and the cloud answered with share, folder and upload URL.
  int init(const std::string& userName, const std::string& password,
           const std::string& focus, const std::string& vestrumGUID,
           std::string& folderGUID, std::string& folderPath,
           const std::string& loginField, bool reportsFolder);

  // Returns a connected gateway for `url`, owned by the caller, or null.
  LIBCURL::ZuInternetGateway* initZuInternetGateway(const std::string& url);
  // Disconnects `gateway` (null is allowed); the caller deletes it.
  void closeZuInternetGateway(LIBCURL::ZuInternetGateway* gateway);
  int DoLogin(std::wstring& error, std::string& sessionToken,
              bool ignoreRetryWait);
  int isValidAccount(std::wstring& error);

  int ExecuteDRFolderSetUpWorkflow(const std::string& urlPath,
                                   const std::string& vestrumGUID,
                                   bool reportsFolder, std::string& folderGUID,
                                   std::string& folderPath,
                                   std::wstring& errorMessage,
                                   const std::string& reserved,
                                   bool ignoreRetryWait);
  int CreateDRFolder(const std::string& vestrumId, const std::string& subFolder,
                     const std::string& folderName, std::string& folderGUID,
                     std::string& folderDetail, std::wstring& errorMessage);
  int CreateFolder(const std::string& parentPath, const std::string& folderName,
                   std::string& folderGUID, std::string& folderDetail,
                   std::wstring& errorMessage);
  int GetChunkUploadSessionID(const std::string& parentPath,
                              const std::string& fileName,
                              const std::string& fileSize,
                              long long chunkLength,
                              const std::string& modifiedTime,
                              const char* chunk, std::string& requestId,
                              std::wstring& errorMessage);
  bool GetChunkOffsetforUpload(LIBCURL::ZuInternetGateway* gateway,
                               const std::string& url,
                               std::list<ZuCURL::commandInfo>& headers,
                               const std::string& fileName, long long& offset);
  // Uploads sourceDir + fileName (joined as given) into the cloud folder
  // `parentPath`; returns 1 with `fileGUID` set once the cloud confirmed the
  // whole file.
  int UploadFile(const std::string& sourceDir, const std::string& fileName,
                 const std::string& parentPath, const std::string& modifiedTime,
                 std::string& fileGUID, std::wstring& errorMessage);

 protected:
  zu::SessionParams sessionParams() const;

  std::string m_url;
  std::string m_uploadURL;
  std::string m_userName;
  std::string m_password;  // Base64, no line feeds
  std::string m_loginExtra;
  std::string m_shareID;
  std::string m_folderPath;
  int m_bInitialized;
  int m_bFolderReady;
  bool m_bSecured;
  std::unique_ptr<EvDebug> m_evDbg;
  std::unique_ptr<EvDebugFileInstance> m_logInstance;
  long long m_chunkSize;
  int m_nRetryCount;
  long long m_nKeepIdleSeconds;
  long long m_nKeepIntervalSeconds;
  bool m_bEnableTCPKeepAlive;
};

#endif  // ZUCLOUD_ZU_CLOUD_SERVICE_H
