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

// Runs one workflow POST under `tag`. `declare` gives what is the
// workflow's own (its URL and body, and any lines of its own); the frame
// refuses to run before init, makes up to `params.retryCount` attempts
// 120000 ms apart (at once when `ignoreRetryWait`) with the retry lines
// after "Error: Failed to execute <what> in cloud for Vestrum GUID [...]. ",
// and reads each reply by `request` and `read` (ReadWorkflowReply). An
// exception sets `request.postFailedMessage`.
int RunWorkflow(const SessionParams& params, const char* tag, const WorkflowRequest& request,
                bool ignoreRetryWait, std::wstring& errorMessage,
                const std::function<void(ConsoleOperation&)>& declare, WorkflowReader read);

}  // namespace zu::blob

#endif  // ZUCLOUD_BLOB_CONSOLE_WORKFLOW_H
