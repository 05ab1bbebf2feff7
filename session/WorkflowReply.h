// Log lines and messages shared by the web-console workflow requests (the
// folder and blob set-ups and the completion report).
#ifndef ZUCLOUD_SESSION_WORKFLOW_REPLY_H
#define ZUCLOUD_SESSION_WORKFLOW_REPLY_H

#include <string>

class EvDebug;

namespace zu {

// The two lines of a workflow POST that failed: `what` names the workflow
// ("DR setup workflow", "DR folder setup workflow", "Finalize DR workflow").
void LogWorkflowPostFailure(EvDebug* log, const char* tag, const char* what,
                            const std::string& url, const std::string& vestrumGUID,
                            const std::string& gatewayError, const std::string& response);

// The XML platform could not be initialised for a reply: logs `detail` and
// sets the caller's message.
void ReportXmlPlatformFailure(EvDebug* log, const char* tag, const std::string& detail,
                              std::wstring& errorMessage);

}  // namespace zu

#endif  // ZUCLOUD_SESSION_WORKFLOW_REPLY_H
