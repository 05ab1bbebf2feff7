// One runner for the retried requests of either service.
//
// An operation declares what it sends and how it reads the answer: its URL,
// body, headers kind, log tag, wait (RetryOptions), retry lines, the rules a
// reply must pass and the reader of a reply that passed them. The runner
// does the rest, in this order: the no-throw guard, the initialised check,
// the login (for the kinds of headers that carry a session token), the
// gateway, a body that could not be built, the headers, then the attempts
// through RunWithRetry.
#ifndef ZUCLOUD_SESSION_CONSOLE_OPERATION_H
#define ZUCLOUD_SESSION_CONSOLE_OPERATION_H

#include <functional>
#include <optional>
#include <string>

#include "platform/http/ZuInternetGateway.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"
#include "session/SessionParams.h"

namespace zu {

enum class ConsoleHeaders {
  kXml,             // Accept and Content-type XML, no login (the login itself)
  kXmlWithSession,  // logs in first; the XML headers and the session token
  kJson,            // Accept and Content-Type JSON, no login
  kOwn,             // the operation's own headers, no login
  kOwnWithSession,  // logs in first; the operation's own headers with the token
};

enum class ConsoleMethod {
  kPost,
  kPut,  // `body` only
  kGet,  // no body
};

// One attempt's answer as the reply rules see it.
struct ConsoleReply {
  EvDebug* log;
  const char* tag;
  int posted;  // the request's result: 0 when it was sent and answered
  const std::string& response;
  LIBCURL::ZuInternetGateway& gateway;
  int attempt;
  std::wstring& errorMessage;
};

using ReplyReader = std::function<AttemptResult(const ConsoleReply&)>;

// What fills the one %s of a failure line.
enum class FailureText { kResponse, kGatewayError };

// A failure an attempt reports: one error line under the operation's tag,
// and the caller's message (left as it is when null).
struct AttemptFailure {
  const char* line = nullptr;
  FailureText text = FailureText::kResponse;
  const wchar_t* message = nullptr;
  // Written instead of `line` when set (lines with more values).
  std::function<void(const ConsoleReply&)> custom;

  void Report(const ConsoleReply& reply) const;
};

struct ConsoleOperation {
  ConsoleMethod method = ConsoleMethod::kPost;
  std::string url;
  std::string body;
  // Sent instead of `body` when set: `length` bytes, not copied, paced with
  // the other senders of file bytes.
  const char* bytes = nullptr;
  long length = 0;
  ConsoleHeaders headers = ConsoleHeaders::kXmlWithSession;
  // The headers of kOwn (an empty token) and kOwnWithSession.
  std::function<ZuCURL::commandInfoList(const std::string& sessionToken)> ownHeaders;

  // A larger reply fails the attempt (0: no limit).
  long long maxReplyBytes = 0;
  // The gateway of a request that is part of a larger one (its owner opened
  // and paced it, and closes it); null: the runner opens one for `url`.
  LIBCURL::ZuInternetGateway* gateway = nullptr;

  // The message when the service is not initialised; null: no check.
  const wchar_t* notInitialized = nullptr;
  // Set when the body could not be built: reported once the gateway is
  // open, and nothing is posted.
  std::optional<AttemptFailure> bodyRefused;
  // Without a gateway: the caller's message (left as it is when null) and
  // the operation's own line, when it has one.
  const wchar_t* noGatewayMessage = L"Error: ZUInternetGateway not initialized";
  std::function<void()> noGatewayLine;

  RetryOptions wait;
  // The standard lines after this prefix, or `lines` when set.
  std::string retryPrefix;
  unsigned retryLineSet = kAllRetryLines;
  const char* totalEnd = "";
  std::optional<RetryLines> lines;

  // Written at debug level 2 after every POST, with the body and the reply.
  const char* postTrace = nullptr;
  ReplyReader read;
  // Sends attempt `attempt`'s request instead of the runner, with the
  // headers above, filling `response` and returning what the gateway
  // returned: for a request whose URL changes between sends (a storage
  // request with a refreshed token) or whose attempt may begin with a
  // question of its own (a chunk's held offset). `url`, `method` and the
  // body are then unused.
  std::function<int(LIBCURL::ZuInternetGateway& gateway, const ZuCURL::commandInfoList& headers,
                    std::string& response, int attempt)>
      send;
  // Receives how the attempts went (how many were made), when not null.
  RetryOutcome* outcome = nullptr;

  // Given when the attempts failed without a message of their own.
  const wchar_t* fallbackMessage = nullptr;
  // Receives the last attempt's reply (cleared before the first).
  std::string* lastResponse = nullptr;
};

// Runs `declare` and then the declared operation under `tag`. Returns 1 when
// an attempt succeeded, else 0 with `errorMessage` set where the operation
// gives one. An exception writes "Error: Unexpected failure" under `tag` and
// sets `failureMessage` (when not null).
int RunConsoleOperation(const SessionParams& params, const char* tag, const wchar_t* failureMessage,
                        std::wstring& errorMessage,
                        const std::function<void(ConsoleOperation&)>& declare);

// RunConsoleOperation without the guard and without `declare`: for a step
// of an operation whose own guard covers it (the login).
int RunConsoleStep(const SessionParams& params, const char* tag, const ConsoleOperation& op,
                   std::wstring& errorMessage);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_CONSOLE_OPERATION_H
