// The web-console workflows of the blob service, the set-up and the
// completion report: where each is posted in API or workflow mode, and the
// frame of its request that both share.
#ifndef ZUCLOUD_BLOB_CONSOLE_WORKFLOW_H
#define ZUCLOUD_BLOB_CONSOLE_WORKFLOW_H

#include <functional>
#include <string>

#include "session/ConsoleOperation.h"
#include "session/SessionParams.h"
#include "session/WorkflowReply.h"

namespace zu::blob {

// Where a workflow is posted below the console URL: its REST API path or
// its workflow's, as "bEnableZUCloudDRBackupAPIMode" chooses.
struct WorkflowPaths {
  const char* api;
  const char* workflow;

  const char* For(bool apiMode) const { return apiMode ? api : workflow; }
};

// The rules of a workflow reply that cannot be read, as the blob service
// has them: when the XML parser cannot start the workflow stops, and a reply
// without a root element is asked for again at once; a reply the parser
// refuses is judged by `onParseError`. The words are those of
// WorkflowReplyRules.
constexpr WorkflowReplyRules ReplyRules(const char* reply, const char* noRootLead,
                                        const wchar_t* noRootMessage, AttemptResult onParseError) {
  WorkflowReplyRules rules{reply, noRootLead, noRootMessage};
  rules.onPlatformInitFailed = AttemptResult::kStop;
  rules.onNoRoot = AttemptResult::kRetryNow;
  rules.onXmlError = onParseError;
  rules.onOtherError = onParseError;
  return rules;
}

// One workflow of the blob service, as its file declares it.
struct Workflow {
  const char* tag;                // the lines' tag
  const char* what;               // names it in the lines ("DR setup workflow")
  const wchar_t* failureMessage;  // after a failed POST or an exception
  WorkflowReplyRules rules;
};

// Runs one POST of `workflow`. `declare` gives what is the request's own
// (its URL and body, and any lines of its own); the frame refuses to run
// before init, makes up to `params.retryCount` attempts 120000 ms apart (at
// once when `ignoreRetryWait`) with the retry lines after "Error: Failed to
// execute <what> in cloud for Vestrum GUID [...]. ", and reads each reply by
// the workflow's rules and `read` (ReadWorkflowReply, naming `logUrl`).
int RunWorkflow(const SessionParams& params, const Workflow& workflow, const std::string& logUrl,
                const std::string& vestrumGUID, bool ignoreRetryWait, std::wstring& errorMessage,
                const std::function<void(ConsoleOperation&)>& declare, WorkflowReader read);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_CONSOLE_WORKFLOW_H
