#include "session/Login.h"

#include <memory>
#include <string>
#include <utility>

#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/xml/CNMessage.h"
#include "session/ConsoleOperation.h"
#include "session/MessageReply.h"

namespace zu {
namespace {

constexpr const char* kTag = "DoLogin";

// The credential check's XML; false when a value cannot be carried in XML
// (control characters, bytes that are not UTF-8).
bool BuildCredentialRequest(const SessionParams& params, std::string& body) {
  using namespace zu::msg;
  CNMessageBase request(kCheckCredentialReq.type, kCheckCredentialReq.id);
  request.setstring(kReqUserName.number, kReqUserName.tag, params.userName, kCheckCredentialReq.key,
                    kReqUserName.key);
  request.setstring(kReqPassword.number, kReqPassword.tag, params.password, kCheckCredentialReq.key,
                    kReqPassword.key);
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

// What a credential check's reply must be: a CheckCredentialResp without
// errors, whose session token can go out as a header value.
MessageReplyRules CredentialReplyRules() {
  MessageReplyRules rules;
  rules.mention = "CheckCredentialResp";
  rules.postFailed = {"Error: Failed to login to cloud. Error Message [%s]",
                      FailureText::kGatewayError,
                      L"Error: Failed to login to cloud. Please check ZUCloudService.log for more "
                      L"details.",
                      nullptr};
  rules.noMention = {"Error: webServer handler responded with error response [%s]",
                     FailureText::kResponse,
                     L"Error: Failed to login to cloud. Response doesn't contain WSDK.", nullptr};
  rules.unreadable = {"Error: Unserialization failed for string [%s]", FailureText::kResponse,
                      L"Error: Failed to login to cloud. Couldn't deserialize response", nullptr};
  return rules;
}

// A CheckCredentialResp with an error entry, in a reply the console sent
// with a success status, is the console's answer on these credentials:
// sending them again only gets the same answer and counts against the
// account (a console may lock it after a few). The login ends at once with
// the console's text. A failed status, a reply without the message or one
// that cannot be read keep the retry policy.
AttemptResult ReadCredentialReply(CNMessageBase& reply, const ConsoleReply& at,
                                  const std::string& userName, std::string& sessionToken) {
  if (std::unique_ptr<std::string> text = FirstErrorText(reply)) {
    at.log->Error(kTag,
                  "Error: webServer handler responded with error response [%s]; the "
                  "credentials were refused, so the login is not tried again",
                  text->c_str());
    at.errorMessage = L"Error: The web console refused the login of user [" +
                      FXString::ToWstring(userName) + L"]: " + FXString::ToWstring(*text);
    return AttemptResult::kStop;
  }
  std::string token = reply.getstring(msg::kRespSessionToken.number, msg::kRespSessionToken.tag,
                                      msg::kCheckCredentialResp.key, msg::kRespSessionToken.key);
  RegisterLogSecret(token);
  if (HasControlCharacter(token)) {
    at.log->Error(kTag,
                  "Error: Failed to login to cloud. The session token in the reply holds "
                  "control characters; it is not used.");
    at.errorMessage =
        L"Error: Failed to login to cloud. The session token in the reply holds "
        L"characters that cannot be sent.";
    return AttemptResult::kRetry;
  }
  sessionToken = std::move(token);
  return AttemptResult::kSuccess;
}

}  // namespace

int Login(const SessionParams& params, std::wstring& error, std::string& sessionToken,
          bool ignoreRetryWait) {
  sessionToken.clear();
  if (!params.initialized) {
    error = params.notInitializedMessage();
    return 0;
  }
  RegisterLogSecret(params.password);
  ConsoleOperation op;
  op.url = params.url + "/api/Login";
  op.headers = ConsoleHeaders::kXml;
  if (!BuildCredentialRequest(params, op.body)) {
    op.bodyRefused = AttemptFailure{
        "Error: Failed to login to cloud. The user name or the third credential holds "
        "characters that cannot be sent.",
        FailureText::kResponse,
        L"Error: Failed to login to cloud. The user name or the third credential holds "
        L"characters that cannot be sent.",
        nullptr};
  }
  op.wait = FixedWaitRetry(params.retryCount, kRetryWaitMs, ignoreRetryWait);
  op.retryPrefix = "Error: Failed to login to cloud. ";
  op.totalEnd = ".";
  op.read =
      ReadMessageReply(CredentialReplyRules(), msg::kCheckCredentialResp,
                       [&params, &sessionToken](CNMessageBase& reply, const ConsoleReply& at) {
                         return ReadCredentialReply(reply, at, params.userName, sessionToken);
                       });
  return RunConsoleStep(params, kTag, op, error);
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

}  // namespace zu
