/// @file ZUCloudAzureService.h
/// @brief ZUCloudAzureService, the blob upload service.
///
/// Prepares a DR backup upload in one of three modes fixed by settings (the
/// web console's REST API, its workflows, or a pair of Azure Functions
/// endpoints), stores each file as an Azure block blob (UploadFile) and
/// reports the finished backup (ExecuteDRCompleteWorkflow).
///
/// Results are 1 for success and 0 for failure; failures carry a user-facing
/// message in the wide-string argument and the detail goes to the log file
/// "ZUCloudService.log". No exception leaves any operation.
///
/// Thread safety: an object is used by one thread at a time. UploadFile runs
/// a producer thread and a pool of uploader threads of its own and joins them
/// all before it returns.
#ifndef ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H
#define ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZuCloudExport.h"

/// @cond ZUCLOUD_INTERNAL
class EvDebug;
class EvDebugFileInstance;
class ZuCriticalSection;
struct FileInfo;
namespace LIBCURL {
class ZuInternetGateway;
}
namespace zu {
struct SessionParams;
struct ServiceFields;
}  // namespace zu
/// @endcond

/// @brief The blob upload service: one DR backup as Azure block blobs.
///
/// Order of calls for one DR backup:
/// 1. Construct the object. The constructor reads the settings file once
///    (path in the environment variable `ZUCLOUD_CONFIG`, default
///    `/etc/zucloud/zucloud.conf`; a missing file means every setting takes
///    its default): `[GlobalParam]` "DRBackupRetryCount" (30),
///    "DRBackupUploadBlobSize" (MiB, 16), "DRBackupUploadStreamCount" (10),
///    "bEnableZUCloudDRBackupAPIMode" (true),
///    "bEnableZUCloudDRBackupAzureFunctionsMode" (false),
///    "ZUCloudDRBackupMaximumBackoff" (seconds, 16) and `[UpdateFlags]`
///    "nEnableTCPKeepAlive", "nKeepIdleSeconds", "nKeepIntervalSeconds".
///    The two mode words fix the mode for the object's life. Nothing is
///    sent.
/// 2. Azure Functions mode only: AddFileInfo() for every file of the backup.
/// 3. init() runs the set-up; the other operations need it to return 1.
/// 4. UploadFile() for each file, one at a time.
/// 5. ExecuteDRCompleteWorkflow() once, after the last file.
/// 6. Destroy the object; no gateway, thread or file outlives a call.
///
/// The remaining public members are the steps of those operations. Those
/// marked "Not for hosts" exist for the upload's own threads or take types
/// the library keeps to itself.
///
/// Settings read per call rather than at construction: "Cloud URL" and
/// "ZUCloudDRBackupAzureBaseUrl" (init()), and "DRBackupUploadParallelBlocks",
/// "DRBackupUploadMaxMbps" (megabits per second) and
/// "bEnableZUCloudDRBackupResume" (UploadFile()); docs/operations.md
/// describes each.
class ZUCLOUD_EXPORT ZUCloudAzureService {
 public:
  /// @brief Reads the settings listed above and prepares an unopened log.
  ///
  /// Sends nothing and writes no file. A setting that is missing or out of
  /// bounds takes its default silently.
  ZUCloudAzureService();
  /// @brief Releases the members and the file list; nothing is sent.
  ~ZUCloudAzureService();
  ZUCloudAzureService(const ZUCloudAzureService&) = delete;             ///< Not copyable.
  ZUCloudAzureService& operator=(const ZUCloudAzureService&) = delete;  ///< Not copyable.

  /// @brief Stores the web-console base URL.
  ///
  /// init() keeps it only when the settings file has no "Cloud URL" key
  /// (not used in Azure Functions mode).
  /// @param url every console request URL is this text followed by a path.
  void setURL(const std::string& url);
  /// @brief The web-console URL init() would log in to now, and where it
  /// comes from, for the operator to read before the login.
  ///
  /// Reads the "Cloud URL" setting now. init() logs the same text.
  /// @return "[URL] " (a user name and password in it shown as "***")
  ///         followed by its origin: "from setting "Cloud URL" of FILE",
  ///         "given with setURL (...)" or "the built-in default (...)";
  ///         "" in Azure Functions mode, which logs in to no web console.
  std::string describeConsoleURL() const;
  /// @brief Stores the storage service URL; init()'s set-up replaces it.
  /// @param url the base that blob URLs are built on.
  void setUploadURL(const std::string& url);
  /// @brief Stores the account's user name; init() replaces it.
  /// @param name the cloud account's user name.
  void setUserName(const std::string& name);
  /// @brief Stores the Base64 form of `password` (without line breaks),
  /// never the plain text; init() replaces it.
  /// @param password the plain account password.
  void setPassword(const std::string& password);

  /// @brief Opens the log and runs the set-up of the configured mode; call
  /// it first (after AddFileInfo() in Azure Functions mode).
  ///
  /// Sets the process's focus to `focus` and opens the log
  /// (`ZUCLOUD_LOG_DIR`/ZUCloudService.log). In Azure Functions mode it
  /// returns InitAzureFunctions(). Otherwise it takes the web-console URL
  /// from the "Cloud URL" setting (read now; without it the URL given to
  /// setURL(), else the vendor's console), stores the credentials and runs
  /// ExecuteDRFolderSetUpWorkflow() with "/api/zudrbackup/setup" (API mode)
  /// or the set-up workflow's path (workflow mode), which yields the storage
  /// service URL and one SAS token for all files.
  ///
  /// @param userName cloud account user name (must not be empty).
  /// @param password plain password (must not be empty); only its Base64
  ///        form is kept and sent.
  /// @param focus the host's instance focus name, set before anything else.
  /// @param vestrumGUID the deployment's GUID (must not be empty).
  /// @param vestrumId the deployment's numeric id, reported at completion.
  /// @param jobId the DR backup job's id.
  /// @param setId the backup set's id.
  /// @param backupLevel the backup level.
  /// @param fullJobId the id of the full backup job this one builds on.
  /// @param[out] errorMessage user-facing message on failure.
  /// @param loginField third credential field of the login request (may be
  ///        empty).
  /// @return 1 once the set-up answered a storage URL and a token, else 0
  ///         (the object then counts as not initialised).
  int init(const std::string& userName, const std::string& password, const std::string& focus,
           const std::string& vestrumGUID, int vestrumId, unsigned int jobId,
           const std::string& setId, int backupLevel, unsigned int fullJobId,
           std::wstring& errorMessage, const std::string& loginField);

  /// @brief Creates, configures and connects an HTTP gateway for `url`.
  ///
  /// Not for hosts: the gateway type is the library's own and is not
  /// declared in these headers; every operation opens its own gateway.
  ///
  /// An https server's certificate and host name are verified; a non-zero
  /// `[Reports]` "nWebReportsIgnoreCertificateErrors" turns both checks off,
  /// but only while the service counts as secured (init() found "https:" in
  /// the console URL, or the set-up in the storage or Functions URL). A
  /// failed connect is retried at once, up to "DRBackupRetryCount" times.
  /// Sends no request.
  /// @param url the URL the gateway's requests go to.
  /// @return a connected gateway owned by the caller (close it with
  ///         closeZuInternetGateway(), then delete it), or null.
  LIBCURL::ZuInternetGateway* initZuInternetGateway(const std::string& url);
  /// @brief Disconnects `gateway`; the caller deletes it afterwards.
  ///
  /// Not for hosts, like initZuInternetGateway().
  /// @param gateway a gateway from initZuInternetGateway(); null is allowed.
  void closeZuInternetGateway(LIBCURL::ZuInternetGateway* gateway);
  /// @brief Logs in to the web console and returns a fresh session token.
  ///
  /// Needs init() first (web-console modes). POSTs a CheckCredentialReq to
  /// "/api/Login", up to "DRBackupRetryCount" attempts 120000 ms apart; a
  /// reply that refuses the credentials ends it at once, with the console's
  /// text in `error` (sent again they could lock the account). The token is
  /// never kept in the object nor written to the log.
  /// @param[out] error user-facing message on failure.
  /// @param[out] sessionToken the token to send as the "Authtoken" header.
  /// @param ignoreRetryWait true: retry a failed attempt at once.
  /// @return 1 with `sessionToken` set, 0 on failure.
  int DoLogin(std::wstring& error, std::string& sessionToken, bool ignoreRetryWait);
  /// @brief Checks that the stored credentials log in.
  ///
  /// Needs init() first. One login as DoLogin() makes it, with waits
  /// skipped; the token is discarded.
  /// @param[out] error user-facing message on failure.
  /// @return 1 when the login succeeded, 0 otherwise.
  int isValidAccount(std::wstring& error);

  /// @brief The web-console set-up step of init().
  ///
  /// Needs the object initialised. Logs in and POSTs the workflow input
  /// (GUID, set id, job id, backup level, full job id) to the console URL +
  /// `urlPath`; stores the reply's "AzureSASServiceURL" and "AzureSASToken".
  /// A storage URL that holds a control character, or that is not https
  /// while the console is, is refused and nothing is sent to it.
  /// @param urlPath path of the set-up below the console URL.
  /// @param vestrumGUID the deployment's GUID, sent XML-escaped.
  /// @param jobId the DR backup job's id.
  /// @param setId the backup set's id.
  /// @param backupLevel the backup level.
  /// @param fullJobId the id of the full backup job this one builds on.
  /// @param[out] errorMessage user-facing message on failure.
  /// @param ignoreRetryWait true: retry a failed attempt at once.
  /// @return 1 when both values were received, else 0.
  int ExecuteDRFolderSetUpWorkflow(const std::string& urlPath, const std::string& vestrumGUID,
                                   unsigned int jobId, const std::string& setId, int backupLevel,
                                   unsigned int fullJobId, std::wstring& errorMessage,
                                   bool ignoreRetryWait);

  /// @brief Azure Functions mode: registers a file before init() asks for
  /// one upload token per file. No effect in the other modes.
  ///
  /// Sends nothing. The file is known by the name after its last "/".
  /// @param path the local path (or name) of a file of this backup.
  void AddFileInfo(std::string path);
  /// @brief The Azure Functions set-up step of init().
  ///
  /// Reads the base URL from "ZUCloudDRBackupAzureBaseUrl" and POSTs a JSON
  /// request naming every file registered with AddFileInfo() to its
  /// "/api/Setup"; stores the storage service URL and each file's token.
  /// No login takes place.
  /// @param vestrumGUID the deployment's GUID (must not be empty).
  /// @param vestrumId the deployment's numeric id.
  /// @param jobId the DR backup job's id.
  /// @param setId the backup set's id.
  /// @param backupLevel the backup level.
  /// @param fullJobId the id of the full backup job this one builds on.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 once the container was created and the URL received, else 0.
  int InitAzureFunctions(const std::string& vestrumGUID, int vestrumId, unsigned int jobId,
                         const std::string& setId, int backupLevel, unsigned int fullJobId,
                         std::wstring& errorMessage);
  /// @brief The Azure Functions completion step of
  /// ExecuteDRCompleteWorkflow().
  ///
  /// Needs init() first. POSTs the deployment, the job and every uploaded
  /// file of the file list with its size and URL to "/api/Finalize" (a file
  /// that was not uploaded is left out, with a line in the log).
  /// @param jobId the DR backup job's id.
  /// @param backupLevel the backup level.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 when the reply's "isSuccess" is true, else 0.
  int FinalizeAzureFunctions(unsigned int jobId, int backupLevel, std::wstring& errorMessage);
  /// @brief POSTs a JSON `body` to the Azure Functions base URL + `urlPath`.
  ///
  /// Not for hosts: the request routine of InitAzureFunctions() and
  /// FinalizeAzureFunctions(). Up to "DRBackupRetryCount" attempts with a
  /// capped exponential back-off ("ZUCloudDRBackupMaximumBackoff").
  /// @param urlPath path below the base URL.
  /// @param body the JSON request text.
  /// @param[out] response the last reply's body.
  /// @param ignoreRetryWait true: retry a failed attempt at once.
  /// @return true on a 2xx reply.
  bool SendAzureRequest(const std::string& urlPath, const std::string& body, std::string& response,
                        bool ignoreRetryWait);
  /// @brief Finds the SAS token that uploads `fileName`.
  ///
  /// Sends nothing. Outside Azure Functions mode every file shares the
  /// set-up's token.
  /// @param fileName the file's name as registered.
  /// @param[out] token the SAS token (a URL query without "?").
  /// @return false when Azure Functions mode has no token for the file.
  bool GetSASTokenForFile(const std::string& fileName, std::string& token);

  /// @brief Uploads one file as the block blob `remoteFolder`/`fileName`.
  ///
  /// Needs a successful init(). Records the file in the file list, reads
  /// localDir + fileName once on a producer thread and sends its blocks
  /// ("DRBackupUploadBlobSize", raised for a file past 50,000 blocks) with
  /// Put Block from a pool of "DRBackupUploadStreamCount" uploader threads,
  /// each block up to "DRBackupRetryCount" attempts; then commits them with
  /// UploadBlockList(). With resume on, blocks the service already holds
  /// from an earlier attempt at this very file are not sent again (a journal
  /// in `ZUCLOUD_STATE_DIR`, default /var/lib/zucloud). Every thread has
  /// ended when it returns. Progress goes to the callback of
  /// ZuUploadProgress.h.
  /// @param localDir local folder, including its trailing "/": it is joined
  ///        to `fileName` as given, so "/data" and "x.bak" name "/datax.bak"
  ///        (the message then says so).
  /// @param fileName the file's name, also the blob's name.
  /// @param remoteFolder the blob's folder in the container.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 once the block list was committed, else 0.
  int UploadFile(std::string localDir, std::string fileName, std::string remoteFolder,
                 std::wstring& errorMessage);
  /// @brief Producer thread of UploadFile().
  ///
  /// Not for hosts: public only so that the upload's thread can start it.
  /// @param args UploadFile()'s per-call upload state.
  /// @return 1 when the upload failed, else 0; the outcome is also in
  ///         `args`.
  static unsigned int UploadBlobChunks(void* args);
  /// @brief Uploader task of UploadFile(): sends one block.
  ///
  /// Not for hosts: public only so that the upload's thread pool can run it.
  /// @param args the block's task, made by UploadBlobChunks().
  /// @return 1 when sending the block failed, else 0; the outcome is also
  ///         in the upload state.
  static unsigned int UploadBlob(void* args);
  /// @brief Commits the blocks of one file with Put Block List.
  ///
  /// Needs the blocks sent with Put Block under the same ids. PUTs the XML
  /// block list to the blob's URL + "?comp=blocklist&" + `sasToken`, up to
  /// "DRBackupRetryCount" attempts 120000 ms apart; only a 201 counts.
  /// UploadFile() calls it; a host needs it only to commit blocks it sent
  /// itself.
  /// @param blockIds the Base64 block ids in file order.
  /// @param remoteFolder the blob's folder in the container.
  /// @param fileName the blob's name.
  /// @param sasToken the file's SAS token (GetSASTokenForFile()).
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 once the blob was committed, else 0.
  int UploadBlockList(const std::vector<std::string>& blockIds, const std::string& remoteFolder,
                      const std::string& fileName, const std::string& sasToken,
                      std::wstring& errorMessage);

  /// @brief Reports the uploaded files of this DR backup to the cloud.
  ///
  /// Needs init() first; call it once after the last UploadFile(). In Azure
  /// Functions mode it returns FinalizeAzureFunctions(). Otherwise it logs
  /// in and POSTs the GUID, job id, backup level and each uploaded file's
  /// name, size and blob URL to "/api/zudrbackup/finalize" (API mode) or
  /// the completion workflow, up to "DRBackupRetryCount" attempts 120000 ms
  /// apart. A completion with no file stored is sent and accepted like any
  /// other: the host decides whether a set without files, or with files that
  /// failed, is to be reported (zucloud-upload reports only a whole set
  /// unless told --allow-partial).
  /// @param jobId the DR backup job's id.
  /// @param backupLevel the backup level.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 when the reply's "isSuccess" reads true, else 0.
  int ExecuteDRCompleteWorkflow(unsigned int jobId, int backupLevel, std::wstring& errorMessage);

 protected:
  /// @cond ZUCLOUD_INTERNAL
  // The object's state, kept by the library's own parts: not an interface
  // for hosts (a class derived by a host must not rely on it). The members
  // both services hold alike are read and filled by zu::ServiceFields.
  friend struct zu::ServiceFields;
  zu::SessionParams sessionParams() const;
  // UploadBlockList that also gives the blob its Content-MD5 property (the
  // Base64 MD5 of the whole file) and its access tier; "" leaves either as
  // the service's default.
  int CommitBlockList(const std::vector<std::string>& blockIds, const std::string& remoteFolder,
                      const std::string& fileName, const std::string& sasToken,
                      const std::string& fileMd5Base64, const std::string& accessTier,
                      std::wstring& errorMessage);

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
  /// @endcond
};

#endif  // ZUCLOUD_ZU_CLOUD_AZURE_SERVICE_H
