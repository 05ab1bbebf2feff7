// ZUCloudService: construction, settings, setters and the shared session
// operations. The set-up, folder creation and chunked upload live in their
// own files of this folder.
#include "ZUCloudService.h"

#include "folder/InitMessage.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "session/GatewaySession.h"
#include "session/Login.h"
#include "session/ServiceFields.h"
#include "session/ServiceSettings.h"

namespace {
constexpr long long kFolderChunkSize = 4194304;
constexpr int kFolderRetryCount = 30;
}  // namespace

ZUCloudService::ZUCloudService()
    : m_bInitialized(0),
      m_bFolderReady(0),
      m_bSecured(false),
      m_evDbg(std::make_unique<EvDebug>(nullptr)),
      m_logInstance(std::make_unique<EvDebugFileInstance>()),
      m_chunkSize(kFolderChunkSize),
      m_nRetryCount(kFolderRetryCount) {
  zu::ServiceFields::LoadKeepAlive(*this);
  zu::ServiceCreated();
}

ZUCloudService::~ZUCloudService() {
  zu::folder::ForgetInitMessage(this);
  zu::ServiceDestroyed();
}

std::wstring ZUCloudService::initErrorMessage() const { return zu::folder::InitMessageOf(this); }

void ZUCloudService::setURL(const std::string& url) { m_url = url; }
void ZUCloudService::setUploadURL(const std::string& url) { m_uploadURL = url; }
void ZUCloudService::setUserName(const std::string& name) { m_userName = name; }
void ZUCloudService::setPassword(const std::string& password) {
  m_password = zu::EncodePassword(password);
}

std::string ZUCloudService::describeConsoleURL() const {
  try {
    return zu::DescribeCloudUrl(zu::ChooseCloudUrl(m_url));
  } catch (...) {
    return std::string();  // no memory for the text: nothing to show
  }
}

zu::SessionParams ZUCloudService::sessionParams() const {
  return zu::ServiceFields::Params(*this, zu::ServiceKind::kFolder);
}

LIBCURL::ZuInternetGateway* ZUCloudService::initZuInternetGateway(const std::string& url) {
  return zu::OpenGateway(sessionParams(), url);
}

void ZUCloudService::closeZuInternetGateway(LIBCURL::ZuInternetGateway* gateway) {
  zu::CloseGateway(sessionParams(), gateway);
}

int ZUCloudService::DoLogin(std::wstring& error, std::string& sessionToken, bool ignoreRetryWait) {
  return zu::Login(sessionParams(), error, sessionToken, ignoreRetryWait);
}

int ZUCloudService::isValidAccount(std::wstring& error) {
  return zu::ValidateAccount(sessionParams(), error);
}
