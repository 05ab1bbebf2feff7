#include "session/ConsoleOperation.h"

#include "platform/log/EvDebug.h"
#include "session/GatewaySession.h"
#include "session/Login.h"
#include "session/NoThrow.h"

namespace zu {
namespace {

bool NeedsSession(ConsoleHeaders headers) {
  return headers == ConsoleHeaders::kXmlWithSession || headers == ConsoleHeaders::kOwnWithSession;
}

ZuCURL::commandInfoList MakeHeaders(const ConsoleOperation& op, const std::string& sessionToken) {
  switch (op.headers) {
    case ConsoleHeaders::kXml:
      return {{"Accept", "application/xml"}, {"Content-type", "application/xml"}};
    case ConsoleHeaders::kXmlWithSession:
      return {{"Accept", "application/xml"},
              {"Authtoken", sessionToken},
              {"Content-type", "application/xml"}};
    case ConsoleHeaders::kJson:
      return {{"Accept", "application/json"}, {"Content-Type", "application/json"}};
    case ConsoleHeaders::kOwn:
    case ConsoleHeaders::kOwnWithSession:
      break;
  }
  return op.ownHeaders(sessionToken);
}

// Everything before the first attempt: the login where the headers carry a
// session, the gateway (the operation's own, or one opened into `owned`), a
// refused body and the headers. Null (after the operation's lines and
// message) when the operation cannot go on.
LIBCURL::ZuInternetGateway* OpenOperation(const SessionParams& params, const char* tag,
                                          const ConsoleOperation& op, GatewayHolder& owned,
                                          ZuCURL::commandInfoList& headers,
                                          std::wstring& errorMessage) {
  std::string sessionToken;
  if (NeedsSession(op.headers) &&
      Login(params, errorMessage, sessionToken, op.wait.ignoreRetryWait) == 0) {
    return nullptr;
  }
  LIBCURL::ZuInternetGateway* gateway = op.gateway;
  if (gateway == nullptr) {
    owned.reset(OpenGateway(params, op.url));
    gateway = owned.get();
    if (gateway == nullptr) {
      if (op.noGatewayLine) op.noGatewayLine();
      if (op.noGatewayMessage != nullptr) errorMessage = NoGatewayMessage(op.noGatewayMessage);
      return nullptr;
    }
    if (op.bytes != nullptr) gateway->setSendPaced(1);  // the body is file bytes
    if (op.maxReplyBytes > 0) gateway->setMaxReplyBytes(op.maxReplyBytes);
  }
  if (op.bodyRefused) {
    const std::string noResponse;
    op.bodyRefused->Report(ConsoleReply{params.log, tag, 0, noResponse, *gateway, 0, errorMessage});
    return nullptr;
  }
  headers = MakeHeaders(op, sessionToken);
  return gateway;
}

int Send(LIBCURL::ZuInternetGateway& gateway, const ConsoleOperation& op,
         const ZuCURL::commandInfoList& headers, std::string& response) {
  if (op.method == ConsoleMethod::kGet) return gateway.doGetOperation(op.url, response, headers);
  if (op.method == ConsoleMethod::kPut) {
    return gateway.doPutOperation(op.url, op.body.data(), static_cast<long>(op.body.size()),
                                  response, headers);
  }
  if (op.bytes != nullptr) {
    return gateway.doPostOperation(op.url, op.bytes, op.length, response, headers);
  }
  return gateway.doPostOperation(op.url, op.body, response, headers);
}

}  // namespace

int RunConsoleStep(const SessionParams& params, const char* tag, const ConsoleOperation& op,
                   std::wstring& errorMessage) {
  EvDebug* log = params.log;
  if (op.lastResponse != nullptr) op.lastResponse->clear();
  if (op.notInitialized != nullptr && !params.initialized) {
    errorMessage = op.notInitialized;
    return 0;
  }
  GatewayHolder owned(log, nullptr);
  ZuCURL::commandInfoList headers;
  LIBCURL::ZuInternetGateway* gateway =
      OpenOperation(params, tag, op, owned, headers, errorMessage);
  if (gateway == nullptr) return 0;

  const RetryLines lines =
      op.lines ? *op.lines
               : StandardRetryLines(log, tag, op.retryPrefix, op.retryLineSet, op.totalEnd);
  const RetryOutcome outcome = RunWithRetry(op.wait, lines, [&](int attempt) {
    std::string response;
    const int posted = op.send ? op.send(*gateway, headers, response, attempt)
                               : Send(*gateway, op, headers, response);
    if (op.postTrace != nullptr) {
      log->DebugLvl(2, tag, op.postTrace, op.body.c_str(), response.c_str());
    }
    if (op.lastResponse != nullptr) *op.lastResponse = response;
    return op.read(ConsoleReply{log, tag, posted, response, *gateway, attempt, errorMessage});
  });
  if (op.outcome != nullptr) *op.outcome = outcome;
  if (!outcome.succeeded && op.fallbackMessage != nullptr && errorMessage.empty()) {
    errorMessage = op.fallbackMessage;
  }
  return outcome.succeeded ? 1 : 0;
}

void AttemptFailure::Report(const ConsoleReply& reply) const {
  if (custom) {
    custom(reply);
  } else if (line != nullptr) {
    const std::string value =
        text == FailureText::kResponse ? reply.response : reply.gateway.getErrorMsg();
    reply.log->Error(reply.tag, line, value.c_str());
  }
  if (message != nullptr) reply.errorMessage = message;
}

int RunConsoleOperation(const SessionParams& params, const char* tag, const wchar_t* failureMessage,
                        std::wstring& errorMessage,
                        const std::function<void(ConsoleOperation&)>& declare) {
  const auto failed = [&]() -> int {
    if (failureMessage != nullptr) errorMessage = failureMessage;
    return 0;
  };
  return NoThrow(params.log, tag, failed, [&]() -> int {
    ConsoleOperation op;
    declare(op);
    return RunConsoleStep(params, tag, op, errorMessage);
  });
}

}  // namespace zu
