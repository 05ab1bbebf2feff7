#include "blob/ConsoleWorkflow.h"

#include "platform/log/EvDebug.h"
#include "session/RetryPolicy.h"

namespace zu::blob {
namespace {

constexpr unsigned int kWorkflowRetryWaitMs = 120000;

}  // namespace

int RunWorkflow(const SessionParams& params, const char* tag, const WorkflowRequest& request,
                bool ignoreRetryWait, std::wstring& errorMessage,
                const std::function<void(ConsoleOperation&)>& declare, WorkflowReader read) {
  const std::wstring notInitialized = params.notInitializedMessage();
  return RunConsoleOperation(
      params, tag, request.postFailedMessage, errorMessage, [&](ConsoleOperation& op) {
        declare(op);
        op.notInitialized = notInitialized.c_str();
        op.wait = FixedWaitRetry(params.retryCount, kWorkflowRetryWaitMs, ignoreRetryWait,
                                 TotalCount::kAttemptsBeforeEarlyStop);
        op.retryPrefix =
            FormatLogText("Error: Failed to execute %s in cloud for Vestrum GUID [%s]. ",
                          request.what, request.vestrumGUID.c_str());
        op.read = ReadWorkflowReply(request, read);
      });
}

}  // namespace zu::blob
