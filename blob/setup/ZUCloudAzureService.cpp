// The blob service object: construction, settings, setters and the shared
// session operations; and UploadFile, the service's part of an upload. It
// checks the blob's name, finds the record of the blob's URL or of the
// registered name (FileRecords.h) or makes one and looks up its SAS token
// (GetSASTokenForFile), loads the keys
// of an encrypted upload (BlobEncryption.h), opens and plans the file and
// sets up the source of fresh tokens; the engine (engine/FileUpload.h) then
// stores the file, and the record and the service keep what the upload
// leaves (the uploaded flag, a fresh token or storage URL; an earlier
// upload to the same URL replaced). Set-up, the
// Azure Functions requests and the completion have files of their own.
#include "ZUCloudAzureService.h"

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "blob/engine/FileUpload.h"
#include "blob/setup/FileInfo.h"
#include "blob/setup/FileRecords.h"
#include "blob/storage/BlobEncryption.h"
#include "blob/storage/BlobPath.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/threads/ZuSync.h"
#include "session/GatewaySession.h"
#include "session/Login.h"
#include "session/NoThrow.h"
#include "session/ServiceFields.h"
#include "session/ServiceSettings.h"
#include "session/UploadTuning.h"

ZUCloudAzureService::ZUCloudAzureService()
    : m_bInitialized(0),
      m_bFolderReady(0),
      m_bSecured(false),
      m_evDbg(std::make_unique<EvDebug>(nullptr)),
      m_logInstance(std::make_unique<EvDebugFileInstance>()),
      m_vestrumId(0),
      m_fileListLock(std::make_unique<ZuCriticalSection>()) {
  zu::ServiceFields::LoadKeepAlive(*this);
  zu::ServiceFields::LoadBlobSettings(*this);
  zu::ServiceCreated();
}

ZUCloudAzureService::~ZUCloudAzureService() {
  zu::blob::ForgetSetUpIds(this);
  zu::ServiceDestroyed();
}

void ZUCloudAzureService::setURL(const std::string& url) { m_url = url; }
void ZUCloudAzureService::setUploadURL(const std::string& url) { m_uploadURL = url; }
void ZUCloudAzureService::setUserName(const std::string& name) { m_userName = name; }
void ZUCloudAzureService::setPassword(const std::string& password) {
  m_password = zu::EncodePassword(password);
}

std::string ZUCloudAzureService::describeConsoleURL() const {
  if (m_bAzureFunctionsMode) return std::string();
  try {
    return zu::DescribeCloudUrl(zu::ChooseCloudUrl(m_url));
  } catch (...) {
    return std::string();  // no memory for the text: nothing to show
  }
}

zu::SessionParams ZUCloudAzureService::sessionParams() const {
  return zu::ServiceFields::Params(*this, zu::ServiceKind::kBlob);
}

LIBCURL::ZuInternetGateway* ZUCloudAzureService::initZuInternetGateway(const std::string& url) {
  return zu::OpenGateway(sessionParams(), url);
}

void ZUCloudAzureService::closeZuInternetGateway(LIBCURL::ZuInternetGateway* gateway) {
  zu::CloseGateway(sessionParams(), gateway);
}

int ZUCloudAzureService::DoLogin(std::wstring& error, std::string& sessionToken,
                                 bool ignoreRetryWait) {
  return zu::Login(sessionParams(), error, sessionToken, ignoreRetryWait);
}

int ZUCloudAzureService::isValidAccount(std::wstring& error) {
  return zu::ValidateAccount(sessionParams(), error);
}

namespace {

using zu::blob::kUploadFileTag;

// The encoded blob path of folder/name; false with the caller's message for
// a name no blob can carry.
bool CheckBlobName(EvDebug* log, const std::string& remoteFolder, const std::string& fileName,
                   std::string& blobPath, std::wstring& errorMessage) {
  std::string problem;
  if (zu::blob::BuildBlobPath(remoteFolder, fileName, blobPath, problem)) return true;
  const std::string text = zu::blob::RefusedNameMessage(fileName, problem);
  log->Error(kUploadFileTag, "%s", text.c_str());
  errorMessage = FXString::ToWstring(text);
  return false;
}

// The file's record (FileRecords.h); null, with the message, when Azure
// Functions mode has none registered under its name.
zu::blob::RecordMatch FindRecord(EvDebug* log, bool azureFunctionsMode,
                                 const zu::blob::FileIndex& index, const zu::blob::FileList& list,
                                 const std::string& fileName, const std::string& url,
                                 std::wstring& errorMessage) {
  zu::blob::RecordMatch match =
      zu::blob::MatchRecord(list, index, azureFunctionsMode, fileName, url);
  if (!match.record) {
    log->error(
        "ZUCloudAzureService(1346): -Error-: Could not find upload token for file [%s]. "
        "Skipping upload",
        fileName.c_str());
    errorMessage = L"Could not find upload token for file. Skipping upload";
  }
  return match;
}

// Azure Functions mode: the files not uploaded yet, `fileName` among them,
// for a fresh token from the Setup function.
std::vector<std::string> PendingFiles(const std::vector<std::shared_ptr<FileInfo>>& list,
                                      const std::string& fileName) {
  std::vector<std::string> pending{fileName};
  for (const std::shared_ptr<FileInfo>& file : list) {
    if (!file->uploaded && file->fileName != fileName) pending.push_back(file->fileName);
  }
  return pending;
}

// The file's token as the set-up handed it out, and its source of fresh
// ones; null when the set-up handed out none (the upload then fails with
// its own message).
std::unique_ptr<zu::blob::TokenRefresh> StartTokens(ZUCloudAzureService& service, EvDebug* log,
                                                    const std::string& fileName,
                                                    const std::string& serviceUrl,
                                                    zu::blob::GrantInputs inputs) {
  std::string token;
  if (!service.GetSASTokenForFile(fileName, token)) return nullptr;
  const char* whom = inputs.azureFunctions ? "the Azure Functions Setup" : "the web console";
  zu::blob::GrantSource source = zu::blob::MakeGrantSource(std::move(inputs), fileName);
  return std::make_unique<zu::blob::TokenRefresh>(
      log, fileName, zu::blob::SasGrant{serviceUrl, token}, std::move(source), whom);
}

// After a file that asked for fresh tokens: later files and the completion
// use what the last refresh handed out (the service's URL, its token or in
// Azure Functions mode the file's own, and the file's blob URL).
void AdoptFreshGrant(const zu::blob::TokenRefresh* tokens, const std::string& blobPath,
                     std::string& serviceUrl, std::string& token, bool& secured, FileInfo& record) {
  if (tokens == nullptr || tokens->Refreshes() == 0) return;
  const zu::blob::SasGrant grant = tokens->Grant();
  token = grant.token;
  serviceUrl = grant.serviceUrl;
  secured = grant.serviceUrl.find("https:") != std::string::npos;
  record.url = grant.serviceUrl + blobPath;
}

// What UploadFile prepares before any request.
struct PreparedFile {
  std::unique_ptr<zu::blob::BlobEncryption> encryption;  // null: not encrypted
  zu::FileIdentity identity;                             // taken when opened
  std::unique_ptr<zu::SequentialFile> file;
  zu::blob::UploadPlan plan;
};

// The keys of an encrypted upload, the file opened and planned; false, with
// the failure logged and the caller's message, when any of them fails.
bool PrepareFile(EvDebug* log, const std::string& localDir, const std::string& localPath,
                 const zu::UploadTuning& tuning, long long blobSize, long long streamCount,
                 PreparedFile& prepared, std::wstring& errorMessage) {
  if (!zu::blob::StartEncryption(log, kUploadFileTag, tuning.encryptionKeyFile, localPath,
                                 prepared.encryption, errorMessage)) {
    return false;
  }
  prepared.file = zu::blob::OpenFileForUpload(log, localDir, localPath, !tuning.keepPageCache,
                                              prepared.identity, errorMessage);
  return prepared.file && zu::blob::PlanFileUpload(
                              log, localPath, prepared.identity.size, blobSize, streamCount, tuning,
                              prepared.encryption != nullptr, prepared.plan, errorMessage);
}

// Runs one upload; an exception the shared guard does not word itself
// becomes a failure with its own message.
int GuardUpload(EvDebug* log, const std::string& fileName, std::wstring& errorMessage,
                const std::function<int()>& upload) {
  return zu::NoThrow(log, kUploadFileTag, 0, [&]() -> int {
    try {
      return upload();
    } catch (const char* text) {
      // ZuSemaphore and ZuCriticalSection report a failed creation this way.
      log->Error(kUploadFileTag, "Error: %s, upload of file [%s] abandoned.", text,
                 fileName.c_str());
      errorMessage = FXString::ToWstring(std::string("Error: ") + text);
    } catch (const std::bad_alloc&) {
      log->Error(kUploadFileTag, "Error: Not enough memory to upload file [%s].", fileName.c_str());
      errorMessage = L"Error: Not enough memory to upload the file.";
    }
    return 0;
  });
}

// The record of a failed upload. A call that sent nothing to storage left
// the blob as it was: a file an earlier call committed keeps its record as
// that call left it (in Azure Functions mode every call of a file shares
// one record, and the completion reports the files whose flag is set).
// Otherwise the file no longer counts as uploaded.
void EndFailedUpload(FileInfo& record, const FileInfo& before, bool sent) {
  if (!sent && before.uploaded) {
    record = before;
    return;
  }
  record.uploaded = false;
}

}  // namespace

int ZUCloudAzureService::UploadFile(std::string localDir, std::string fileName,
                                    std::string remoteFolder, std::wstring& errorMessage) {
  std::shared_ptr<FileInfo> record;
  FileInfo before;  // the record as earlier calls left it
  std::atomic<bool> sent{false};
  // The file's token and how to ask for a fresh one (TokenRefresh.h).
  const auto tokensFor = [this](const std::string& name) {
    zu::blob::GrantInputs inputs{
        sessionParams(),   m_bAzureFunctionsMode,      m_bAPIMode,
        m_nMaximumBackoff, zu::blob::SetUpIdsOf(this), PendingFiles(m_fileList, name)};
    return StartTokens(*this, m_evDbg.get(), name, m_uploadURL, std::move(inputs));
  };
  auto upload = [&]() -> int {
    EvDebug* log = m_evDbg.get();
    std::string blobPath;
    if (!CheckBlobName(log, remoteFolder, fileName, blobPath, errorMessage)) return 0;
    zu::blob::RecordMatch match = FindRecord(log, m_bAzureFunctionsMode, m_fileIndex, m_fileList,
                                             fileName, m_uploadURL + blobPath, errorMessage);
    if (!match.record) return 0;
    record = match.record;
    before = *record;
    record->fileName = fileName;
    record->url = m_uploadURL + blobPath;

    const zu::UploadTuning tuning = zu::ReadUploadTuning(m_uploadStreamCount);
    const std::string localPath = localDir + fileName;
    PreparedFile prepared;
    if (!PrepareFile(log, localDir, localPath, tuning, m_uploadBlobSize, m_uploadStreamCount,
                     prepared, errorMessage)) {
      return 0;
    }
    const zu::FileIdentity& identity = prepared.identity;
    // The completion reports what storage holds: the stored length.
    record->fileSize = zu::blob::StoredBytes(prepared.encryption.get(), identity.size);
    if (match.isNew) {
      ZuCriticalSectionLock lock(m_fileListLock.get());
      m_fileList.push_back(record);
    }

    std::unique_ptr<zu::blob::TokenRefresh> tokens = tokensFor(fileName);
    zu::blob::BlobFile target{sessionParams(), localPath,         fileName,
                              record->url,     identity,          tuning.contentMd5,
                              tuning.verify,   m_nMaximumBackoff, &sent};
    target.tokens = tokens.get();
    target.dropPages = !tuning.keepPageCache;
    target.encryption = prepared.encryption.get();
    const int stored =
        zu::blob::StoreFile(target, std::move(prepared.file), prepared.plan, tuning, errorMessage);
    AdoptFreshGrant(tokens.get(), blobPath, m_uploadURL,
                    m_bAzureFunctionsMode ? match.registered->sasToken : m_sasToken, m_bSecured,
                    *record);
    if (stored == 0) return 0;
    record->uploaded = true;
    zu::blob::ReplaceEarlierUploads(log, before, *record);
    return stored;
  };
  const int result = GuardUpload(m_evDbg.get(), fileName, errorMessage, upload);
  if (result == 0 && record) EndFailedUpload(*record, before, sent.load());
  if (result == 0 && errorMessage.empty()) {
    // Every failure words its message; this one holds should one be missed.
    errorMessage = L"Error: Failed to upload file [" + FXString::ToWstring(fileName) +
                   L"] to cloud. Please check ZUCloudService.log for more details.";
  }
  return result;
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
