#include "blob/setup/ConsoleWorkflow.h"

#include "platform/log/EvDebug.h"
#include "session/RetryPolicy.h"

namespace zu::blob {

int RunWorkflow(const SessionParams& params, const Workflow& workflow, const std::string& logUrl,
                const std::string& vestrumGUID, bool ignoreRetryWait, std::wstring& errorMessage,
                const std::function<void(ConsoleOperation&)>& declare, WorkflowReader read) {
  const std::wstring notInitialized = params.notInitializedMessage();
  return RunConsoleOperation(
      params, workflow.tag, workflow.failureMessage, errorMessage, [&](ConsoleOperation& op) {
        declare(op);
        op.notInitialized = notInitialized.c_str();
        op.wait = FixedWaitRetry(params.retryCount, zu::kRetryWaitMs, ignoreRetryWait,
                                 TotalCount::kAttemptsBeforeEarlyStop);
        op.retryPrefix =
            FormatLogText("Error: Failed to execute %s in cloud for Vestrum GUID [%s]. ",
                          workflow.what, vestrumGUID.c_str());
        op.read = ReadWorkflowReply(
            {workflow.what, logUrl, vestrumGUID, workflow.failureMessage, &workflow.rules}, read);
      });
}

}  // namespace zu::blob
