#include "session/WorkflowReply.h"

#include "platform/EvDebug.h"

namespace zu {

void LogWorkflowPostFailure(EvDebug* log, const char* tag, const char* what,
                            const std::string& url, const std::string& vestrumGUID,
                            const std::string& gatewayError, const std::string& response) {
  log->Error(tag, "Error: Failed to execute %s with workflow URL [%s] and vestrum ID [%s]. Error Message[%s]",
             what, url.c_str(), vestrumGUID.c_str(), gatewayError.c_str());
  log->Error(tag, "Error: Response from ZU Cloud Server: [%s]", response.c_str());
}

void ReportXmlPlatformFailure(EvDebug* log, const char* tag, const std::string& detail,
                              std::wstring& errorMessage) {
  log->Error(tag,
             "Error: Failed to Initialize xerces XML parser to parse ZUCloud server response. "
             "Error [%s]",
             detail.c_str());
  errorMessage = L"Error: Failed to Initialize xerces XML parser to parse ZUCloud server response.";
}

}  // namespace zu
