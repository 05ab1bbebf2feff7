#include "session/Login.h"

#include <memory>
#include <string>
#include <utility>

#include "platform/xml/CNMessage.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/http/ZuInternetGateway.h"
#include "session/GatewaySession.h"
#include "session/RetryLines.h"

namespace zu {
namespace {

constexpr const char* kTag = "DoLogin";
constexpr unsigned int kLoginWaitMs = 120000;

// The credential check's XML; false when a value cannot be carried in XML
// (control characters, bytes that are not UTF-8).
bool BuildCredentialRequest(const SessionParams& params, std::string& body) {
  using namespace zu::msg;
  CNMessageBase request(kCheckCredentialReq.type, kCheckCredentialReq.id);
  request.setstring(kReqUserName.number, kReqUserName.tag, params.userName,
                    kCheckCredentialReq.key, kReqUserName.key);
  request.setstring(kReqPassword.number, kReqPassword.tag, params.password,
                    kCheckCredentialReq.key, kReqPassword.key);
  request.setstring(kReqExtraCredential.number, kReqExtraCredential.tag, params.loginExtra,
                    kCheckCredentialReq.key, kReqExtraCredential.key);
  return request.serialize(body, false) == 0;
}

// The text of the reply's first error entry, or null when it has none.
std::unique_ptr<std::string> FirstErrorText(CNMessageBase& reply) {
  using namespace zu::msg;
  CNMessageList** errors = reply.getlistobject(kRespErrors.number, kRespErrors.tag,
                                               kCheckCredentialResp.key, kRespErrors.key, false);
  if (errors == nullptr || *errors == nullptr || (*errors)->empty()) return nullptr;
  const CNMessageBase* first = (*errors)->front();
  if (first == nullptr) return nullptr;
  CNMessageBase entry(*first);
  return std::make_unique<std::string>(
      entry.getstring(kErrorText.number, kErrorText.tag, kError.key, kErrorText.key));
}

// A token goes out as a header value: a control character in it (CR or LF
// above all) could end the header line and add headers or requests of the
// server's choosing.
bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

int Login(const SessionParams& params, std::wstring& error, std::string& sessionToken,
          bool ignoreRetryWait) {
  if (!params.initialized) {
    error = params.notInitializedMessage();
    sessionToken.clear();
    return 0;
  }
  EvDebug* log = params.log;
  sessionToken.clear();
  RegisterLogSecret(params.password);
  const std::string url = params.url + "/api/Login";
  GatewayHolder gateway(params, OpenGateway(params, url));
  if (!gateway) {
    error = L"Error: ZUInternetGateway not initialized";
    sessionToken.clear();
    return 0;
  }

  std::string body;
  if (!BuildCredentialRequest(params, body)) {
    log->Error(kTag, "Error: Failed to login to cloud. The user name or the third credential "
                     "holds characters that cannot be sent.");
    error =
        L"Error: Failed to login to cloud. The user name or the third credential holds characters "
        L"that cannot be sent.";
    return 0;
  }
  const ZuCURL::commandInfoList headers = {{"Accept", "application/xml"},
                                           {"Content-type", "application/xml"}};

  const RetryOptions options = FixedWaitRetry(params.retryCount, kLoginWaitMs, ignoreRetryWait);
  const RetryLines lines = StandardRetryLines(log, kTag, "Error: Failed to login to cloud. ",
                                              kAllRetryLines, ".");

  const RetryOutcome outcome = RunWithRetry(options, lines, [&](int) {
    std::string response;
    if (gateway->doPostOperation(url, body, response, headers) != 0) {
      log->Error(kTag, "Error: Failed to login to cloud. Error Message [%s]",
                 gateway->getErrorMsg().c_str());
      error = L"Error: Failed to login to cloud. Please check ZUCloudService.log for more details.";
      return AttemptResult::kRetry;
    }
    if (response.empty() || response.find("CheckCredentialResp") == std::string::npos) {
      log->Error(kTag, "Error: webServer handler responded with error response [%s]",
                 response.c_str());
      error = L"Error: Failed to login to cloud. Response doesn't contain WSDK.";
      return AttemptResult::kRetry;
    }
    CNMessageBase reply(msg::kCheckCredentialResp.type, msg::kCheckCredentialResp.id);
    if (reply.unserialize(response.c_str()) != 0) {
      log->Error(kTag, "Error: Unserialization failed for string [%s]", response.c_str());
      error = L"Error: Failed to login to cloud. Couldn't deserialize response";
      return AttemptResult::kRetry;
    }
    if (std::unique_ptr<std::string> text = FirstErrorText(reply)) {
      error = FXString::ToWstring(*text);
      log->Error(kTag, "Error: webServer handler responded with error response [%ls]",
                 error.c_str());
      return AttemptResult::kRetry;
    }
    std::string token = reply.getstring(msg::kRespSessionToken.number, msg::kRespSessionToken.tag,
                                        msg::kCheckCredentialResp.key, msg::kRespSessionToken.key);
    RegisterLogSecret(token);
    if (HasControlCharacter(token)) {
      log->Error(kTag, "Error: Failed to login to cloud. The session token in the reply holds "
                       "control characters; it is not used.");
      error = L"Error: Failed to login to cloud. The session token in the reply holds characters "
              L"that cannot be sent.";
      return AttemptResult::kRetry;
    }
    sessionToken = std::move(token);
    return AttemptResult::kSuccess;
  });
  return outcome.succeeded ? 1 : 0;
}

int ValidateAccount(const SessionParams& params, std::wstring& error) {
  if (!params.initialized) {
    error = params.notInitializedMessage();
    return 0;
  }
  std::string token;
  if (Login(params, error, token, true) != 0) {
    params.log->DebugLvl(3, "isValidAccount",
                         "Internet Gateway (Lib curl wrapper) initialized successfully");
    return 1;
  }
  params.log->Error("isValidAccount",
                    "Error: Failed to login to cloud: Internet Gateway (Lib curl wrapper) "
                    "initialization failed with error [%ls]",
                    error.c_str());
  return 0;
}

int OpenConsoleOperation(const SessionParams& params, const std::string& url,
                         bool ignoreRetryWait, GatewayHolder& gateway,
                         ZuCURL::commandInfoList& headers, std::wstring& error) {
  std::string sessionToken;
  if (Login(params, error, sessionToken, ignoreRetryWait) == 0) return 0;
  gateway.reset(OpenGateway(params, url));
  if (!gateway) {
    error = L"Error: ZUInternetGateway not initialized";
    return 0;
  }
  headers = {{"Accept", "application/xml"},
             {"Authtoken", sessionToken},
             {"Content-type", "application/xml"}};
  return 1;
}

}  // namespace zu
