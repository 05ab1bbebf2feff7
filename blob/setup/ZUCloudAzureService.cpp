// ZUCloudAzureService: construction, settings, setters and the shared
// session operations. Set-up, Azure Functions requests, the block upload
// engine, the block list commit and the completion live in their own files
// of this folder.
#include "ZUCloudAzureService.h"

#include "blob/setup/FileInfo.h"
#include "blob/storage/TokenRefresh.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/threads/ZuSync.h"
#include "session/GatewaySession.h"
#include "session/Login.h"
#include "session/ServiceFields.h"
#include "session/ServiceSettings.h"

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
