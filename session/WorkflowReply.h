// Log lines and messages shared by the web-console workflow requests (the
// folder and blob set-ups and the completion report).
#ifndef ZUCLOUD_SESSION_WORKFLOW_REPLY_H
#define ZUCLOUD_SESSION_WORKFLOW_REPLY_H

#include <functional>
#include <string>

#include "session/ConsoleOperation.h"
#include "session/RetryPolicy.h"

class EvDebug;

namespace zu::xml {
struct ParseResult;
}

namespace zu {

// The two lines of a workflow POST that failed: `what` names the workflow
// ("DR setup workflow", "DR folder setup workflow", "Finalize DR workflow").
void LogWorkflowPostFailure(EvDebug* log, const char* tag, const char* what, const std::string& url,
                            const std::string& vestrumGUID, const std::string& gatewayError,
                            const std::string& response);

// The XML platform could not be initialised for a reply: logs `detail` and
// sets the caller's message.
void ReportXmlPlatformFailure(EvDebug* log, const char* tag, const std::string& detail,
                              std::wstring& errorMessage);

// What a workflow does with a reply that did not parse: one decision per
// parse result, and the words of its log lines and message.
struct WorkflowReplyRules {
  // Names the reply in "Failed to parse <reply> response", such as
  // "ZU Cloud DR setup workflow".
  const char* reply;
  // A reply without a root element: the line's first sentence (followed by
  // " Server responded with response [...]") and the caller's message.
  const char* noRootLead;
  const wchar_t* noRootMessage;
  // Unless a workflow says otherwise, an unreadable reply fails the attempt
  // like any other failure: the next one follows after the wait.
  AttemptResult onPlatformInitFailed = AttemptResult::kRetry;
  AttemptResult onNoRoot = AttemptResult::kRetry;
  AttemptResult onXmlError = AttemptResult::kRetry;
  AttemptResult onOtherError = AttemptResult::kRetry;
};

// Logs why `parsed` cannot be used and returns the workflow's decision for
// it (setting `errorMessage` where the rules give one); kSuccess when the
// reply parsed and its children may be read. `url` and `vestrumGUID` name
// the request in the lines.
AttemptResult CheckWorkflowReply(EvDebug* log, const char* tag, const WorkflowReplyRules& rules,
                                 const xml::ParseResult& parsed, const std::string& response,
                                 const std::string& url, const std::string& vestrumGUID,
                                 std::wstring& errorMessage);

// The rules of a workflow reply: a failed POST writes the two workflow lines
// (naming `what`, `logUrl` and `vestrumGUID`), sets `postFailedMessage` and
// fails the attempt; a reply that does not parse is judged by `rules`;
// `read` takes the rest.
struct WorkflowRequest {
  const char* what;
  std::string logUrl;
  std::string vestrumGUID;
  const wchar_t* postFailedMessage;
  const WorkflowReplyRules* rules;
  // A failed POST whose reply mentions this word is read like a successful
  // one (null: none is).
  const char* readFailedPostMentioning = nullptr;
};
using WorkflowReader = std::function<AttemptResult(const xml::ParseResult&, const ConsoleReply&)>;
ReplyReader ReadWorkflowReply(WorkflowRequest request, WorkflowReader read);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_WORKFLOW_REPLY_H
