/// @file ZUCloudService.h
/// @brief ZUCloudService, the folder upload service.
///
/// Logs in to the cloud's web console, prepares the deployment's DR backup
/// folder in a drive share (init), creates sub-folders (CreateDRFolder) and
/// uploads files in resumable 4 MiB chunks (UploadFile).
///
/// Results are 1 for success and 0 for failure; failures carry a user-facing
/// message in the wide-string argument and the detail goes to the log file
/// "ZUCloudService.log". No exception leaves any operation.
///
/// Thread safety: an object is used by one thread at a time. Every cloud
/// operation opens, uses and closes its own HTTP gateway; nothing outlives the
/// call that made it.
#ifndef ZUCLOUD_ZU_CLOUD_SERVICE_H
#define ZUCLOUD_ZU_CLOUD_SERVICE_H

#include <list>
#include <memory>
#include <string>

#include "ZuCloudExport.h"

/// @cond ZUCLOUD_INTERNAL
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
struct ServiceFields;
}  // namespace zu
/// @endcond

/// @brief The folder upload service: one DR backup into a folder of the
/// cloud drive, through the cloud's web console.
///
/// Order of calls for one DR backup:
/// 1. Construct the object. The constructor reads the settings file once
///    (path in the environment variable `ZUCLOUD_CONFIG`, default
///    `/etc/zucloud/zucloud.conf`; a missing file means every setting takes
///    its default): `[UpdateFlags]` "nEnableTCPKeepAlive",
///    "nKeepIdleSeconds" and "nKeepIntervalSeconds". Nothing is sent.
/// 2. init() logs in and runs the DR folder set-up; every other cloud
///    operation refuses to run until it returned 1.
/// 3. Optionally CreateDRFolder() for each sub-folder of the backup.
/// 4. UploadFile() for each file, one at a time.
/// 5. Destroy the object; no gateway, thread or file outlives a call.
///
/// The remaining public members (DoLogin(), isValidAccount(),
/// ExecuteDRFolderSetUpWorkflow(), CreateFolder(), GetChunkUploadSessionID(),
/// GetChunkOffsetforUpload(), initZuInternetGateway(),
/// closeZuInternetGateway()) are the steps of those operations. A host
/// needs none of them for an upload; those marked "Not for hosts" take types
/// the library keeps to itself.
///
/// Every request goes through libcurl; a failed attempt is retried up to 30
/// times with a 120000 ms wait between attempts (60000 ms for the chunk
/// offset query), scaled by the environment variable `ZUCLOUD_WAIT_SCALE`.
/// init() logs in and runs the set-up without those waits (its attempts
/// follow each other at once), and a login the console refuses for its
/// credentials is not retried at all.
class ZUCLOUD_EXPORT ZUCloudService {
 public:
  /// @brief Reads the keep-alive settings and prepares an unopened log.
  ///
  /// Sends nothing and writes no file. Chunk size is fixed at 4194304 bytes
  /// and the attempt limit at 30.
  ZUCloudService();
  /// @brief Releases the members; nothing is sent.
  ~ZUCloudService();
  ZUCloudService(const ZUCloudService&) = delete;             ///< Not copyable.
  ZUCloudService& operator=(const ZUCloudService&) = delete;  ///< Not copyable.

  /// @brief Stores the web-console base URL (for example
  /// "https://cloud.example/webconsole").
  ///
  /// init() keeps it only when the settings file has no "Cloud URL" key.
  /// @param url every request URL is this text followed by a path.
  void setURL(const std::string& url);
  /// @brief The web-console URL init() would log in to now, and where it
  /// comes from, for the operator to read before the login.
  ///
  /// Reads the "Cloud URL" setting now. init() logs the same text.
  /// @return "[URL] " (a user name and password in it shown as "***")
  ///         followed by its origin: "from setting "Cloud URL" of FILE",
  ///         "given with setURL (...)" or "the built-in default (...)".
  std::string describeConsoleURL() const;
  /// @brief Why the last init() of this object returned 0, in the words a
  /// caller's message would have: a missing argument, the console's refusal
  /// of the credentials, a connection that could not be made (where and
  /// why), a set-up the cloud refused. init() has no message argument; this
  /// is where its reason is read.
  /// @return the reason; empty after a successful init() or before any.
  std::wstring initErrorMessage() const;
  /// @brief Stores the upload base URL; init()'s set-up replaces it with
  /// the one the cloud hands out.
  /// @param url base of the chunked upload requests.
  void setUploadURL(const std::string& url);
  /// @brief Stores the account's user name; init() replaces it.
  /// @param name the cloud account's user name.
  void setUserName(const std::string& name);
  /// @brief Stores the Base64 form of `password` (without line breaks),
  /// never the plain text; init() replaces it.
  /// @param password the plain account password.
  void setPassword(const std::string& password);

  /// @brief Logs in and runs the DR folder set-up; call it first.
  ///
  /// Sets the process's focus to `focus`, opens the log
  /// (`ZUCLOUD_LOG_DIR`/ZUCloudService.log), takes the web-console URL from
  /// the "Cloud URL" setting (read now, not at construction; without it the
  /// URL given to setURL(), else the vendor's console), then POSTs a
  /// login to "/api/Login" and the set-up workflow input (the GUID and the
  /// folder type) to the console's DR folder set-up workflow. The reply's
  /// share id, folder path and upload base URL stay in the object for
  /// CreateDRFolder() and UploadFile().
  ///
  /// @param userName cloud account user name (must not be empty).
  /// @param password plain password (must not be empty); only its Base64
  ///        form is kept and sent.
  /// @param focus the host's instance focus name, set before anything else.
  /// @param vestrumGUID the deployment's GUID (must not be empty).
  /// @param[out] folderGUID the DR folder's GUID on success.
  /// @param[out] folderPath the DR folder's path in the share on success.
  /// @param loginField third credential field of the login request (may be
  ///        empty).
  /// @param reportsFolder true: set up the deployment's Reports folder
  ///        instead of its DR backup folder.
  /// @return 1 when the credentials were complete and the cloud answered with
  ///         share, folder and upload URL; 0 otherwise (details in the log).
  int init(const std::string& userName, const std::string& password, const std::string& focus,
           const std::string& vestrumGUID, std::string& folderGUID, std::string& folderPath,
           const std::string& loginField, bool reportsFolder);

  /// @brief Creates, configures and connects an HTTP gateway for `url`.
  ///
  /// Not for hosts: the gateway type is the library's own and is not
  /// declared in these headers; every operation opens its own gateway.
  ///
  /// An https server's certificate and host name are verified; a non-zero
  /// `[Reports]` "nWebReportsIgnoreCertificateErrors" turns both checks off,
  /// but only while init() has found "https:" in the console URL. TCP
  /// keep-alive follows the settings. A failed connect is retried at once,
  /// up to 30 times. Sends no request.
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
  /// Needs init() first. POSTs a CheckCredentialReq (user name, Base64
  /// password, extra field) to "/api/Login", retried as described above,
  /// except that a reply that refuses the credentials ends it at once, with
  /// the console's text in `error` (sent again they could lock the
  /// account). The token is never kept in the object nor written to the log.
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

  /// @brief The DR folder set-up step of init().
  ///
  /// Needs the object initialised. Logs in, POSTs the workflow input to the
  /// console URL + `urlPath` and stores the share id, folder path and upload
  /// URL of the reply in the object. A value the reply holds is written as
  /// it is parsed, so a failed attempt may leave some of them changed.
  /// @param urlPath path of the set-up workflow below the console URL.
  /// @param vestrumGUID the deployment's GUID, sent XML-escaped.
  /// @param reportsFolder true: the Reports folder, false: the DR folder.
  /// @param[out] folderGUID the folder's GUID.
  /// @param[out] folderPath the folder's path in the share.
  /// @param[out] errorMessage user-facing message on failure.
  /// @param reserved unused.
  /// @param ignoreRetryWait true: retry a failed attempt at once.
  /// @return 1 when the reply held share, folder and upload URL, else 0.
  int ExecuteDRFolderSetUpWorkflow(const std::string& urlPath, const std::string& vestrumGUID,
                                   bool reportsFolder, std::string& folderGUID,
                                   std::string& folderPath, std::wstring& errorMessage,
                                   const std::string& reserved, bool ignoreRetryWait);
  /// @brief Creates a folder inside the DR folder that init() set up.
  ///
  /// Needs a successful init(). The new folder is `folderName` under the DR
  /// folder path, or under its sub-folder `subFolder` when that is not
  /// empty (joined with one backslash); CreateFolder() sends the request.
  /// @param vestrumId the deployment's id (must not be empty).
  /// @param subFolder optional sub-folder of the DR folder ("" for none).
  /// @param folderName the new folder's name (must not be empty).
  /// @param[out] folderGUID the new folder's GUID.
  /// @param[out] folderDetail the folder details the cloud answered.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 when the cloud answered with the new folder's GUID, else 0.
  int CreateDRFolder(const std::string& vestrumId, const std::string& subFolder,
                     const std::string& folderName, std::string& folderGUID,
                     std::string& folderDetail, std::wstring& errorMessage);
  /// @brief Creates one folder in the share that init() found.
  ///
  /// Needs init() first. Logs in and POSTs a FileResourceInfo (name, parent
  /// path) to "/api/drive/share/<share id>/action/createfolder", retried
  /// as described above.
  /// @param parentPath the parent folder's path in the share.
  /// @param folderName the new folder's name.
  /// @param[out] folderGUID the new folder's GUID.
  /// @param[out] folderDetail the folder details the cloud answered.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 when the reply carried the folder's GUID, else 0.
  int CreateFolder(const std::string& parentPath, const std::string& folderName,
                   std::string& folderGUID, std::string& folderDetail, std::wstring& errorMessage);
  /// @brief Opens a chunked upload session with the file's first chunk;
  /// a step of UploadFile().
  ///
  /// Needs init() first. Logs in and POSTs the chunk to the upload base URL
  /// ("...&forceRestart=true") with the file's headers.
  /// @param parentPath Base64 of the cloud folder's path.
  /// @param fileName Base64 of the file's name.
  /// @param fileSize the whole file's size in decimal.
  /// @param chunkLength bytes in `chunk`.
  /// @param modifiedTime sent as the "FileModifiedtime" header, as given.
  /// @param chunk the first chunk's bytes (null sends an empty body).
  /// @param[out] requestId the session's request id.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 with `requestId` set, else 0.
  int GetChunkUploadSessionID(const std::string& parentPath, const std::string& fileName,
                              const std::string& fileSize, long long chunkLength,
                              const std::string& modifiedTime, const char* chunk,
                              std::string& requestId, std::wstring& errorMessage);
  /// @brief Asks the upload session how many bytes of the file it holds;
  /// a step of UploadFile().
  ///
  /// Not for hosts: it takes the gateway and headers of UploadFile()'s
  /// session, types the library does not declare in these headers.
  /// POSTs an empty chunk request on `gateway`, retried up to 30 times
  /// with a 60000 ms wait.
  /// @param gateway an open gateway (null fails at once).
  /// @param url the session's chunk URL.
  /// @param headers the session's headers.
  /// @param fileName the file's name, for the log.
  /// @param[out] offset the bytes the server holds; 0 on failure.
  /// @return true when the server named an offset above 0.
  bool GetChunkOffsetforUpload(LIBCURL::ZuInternetGateway* gateway, const std::string& url,
                               std::list<ZuCURL::commandInfo>& headers, const std::string& fileName,
                               long long& offset);
  /// @brief Uploads one file into a cloud folder in 4 MiB chunks.
  ///
  /// Needs a successful init(). Reads sourceDir + fileName (joined as
  /// given) front to back once, logs in, opens an upload session with the
  /// first chunk, then POSTs each further chunk with the session's request
  /// id; the last carries "FileEOF". After a failed chunk it asks the
  /// server's offset and resends only what the server lacks. The rate cap
  /// "DRBackupUploadMaxMbps" (megabits per second) is read for each call.
  /// Progress goes to the callback of ZuUploadProgress.h.
  /// @param sourceDir local folder, including its trailing "/": it is joined
  ///        to `fileName` as given, so "/data" and "x.bak" name "/datax.bak"
  ///        (the message then says so).
  /// @param fileName the file's name, also its name in the cloud.
  /// @param parentPath the cloud folder's path (for example the folder path
  ///        init() returned).
  /// @param modifiedTime sent as the "FileModifiedtime" header, as given;
  ///        the library does not read it. zucloud-upload sends the file's
  ///        modification time in UTC as "YYYY-MM-DDThh:mm:ssZ"
  ///        ("2024-06-01T08:00:00Z"); send what the console expects.
  /// @param[out] fileGUID the stored file's GUID.
  /// @param[out] errorMessage user-facing message on failure.
  /// @return 1 once the cloud confirmed the whole file, else 0.
  int UploadFile(const std::string& sourceDir, const std::string& fileName,
                 const std::string& parentPath, const std::string& modifiedTime,
                 std::string& fileGUID, std::wstring& errorMessage);

 protected:
  /// @cond ZUCLOUD_INTERNAL
  // The object's state, kept by the library's own parts: not an interface
  // for hosts (a class derived by a host must not rely on it). The members
  // both services hold alike are read and filled by zu::ServiceFields.
  friend struct zu::ServiceFields;
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
  /// @endcond
};

#endif  // ZUCLOUD_ZU_CLOUD_SERVICE_H
