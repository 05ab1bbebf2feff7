#include "session/WorkflowReply.h"

#include <utility>

#include "platform/log/EvDebug.h"
#include "platform/xml/XmlDom.h"

namespace zu {

void LogWorkflowPostFailure(EvDebug* log, const char* tag, const char* what, const std::string& url,
                            const std::string& vestrumGUID, const std::string& gatewayError,
                            const std::string& response) {
  log->Error(
      tag,
      "Error: Failed to execute %s with workflow URL [%s] and vestrum ID [%s]. Error Message[%s]",
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

AttemptResult CheckWorkflowReply(EvDebug* log, const char* tag, const WorkflowReplyRules& rules,
                                 const xml::ParseResult& parsed, const std::string& response,
                                 const std::string& url, const std::string& vestrumGUID,
                                 std::wstring& errorMessage) {
  switch (parsed.status) {
    case xml::ParseStatus::kOk:
      return AttemptResult::kSuccess;
    case xml::ParseStatus::kPlatformInitFailed:
      ReportXmlPlatformFailure(log, tag, parsed.message, errorMessage);
      return rules.onPlatformInitFailed;
    case xml::ParseStatus::kNoRoot:
      log->Error(tag, "%s Server responded with response [%s]", rules.noRootLead, response.c_str());
      errorMessage = rules.noRootMessage;
      return rules.onNoRoot;
    case xml::ParseStatus::kXmlError:
      log->Error(tag,
                 "Error: Failed to parse %s response : [%s] : URL [%s] and vestrum ID [%s]. "
                 "Error Message[%s]",
                 rules.reply, response.c_str(), url.c_str(), vestrumGUID.c_str(),
                 parsed.message.c_str());
      return rules.onXmlError;
    case xml::ParseStatus::kOtherError:
      break;
  }
  log->Error(tag,
             "Error: Failed to parse %s response : [%s] : URL [%s] and vestrum ID [%s]. Error "
             "Message: Unknown error",
             rules.reply, response.c_str(), url.c_str(), vestrumGUID.c_str());
  return rules.onOtherError;
}

ReplyReader ReadWorkflowReply(WorkflowRequest request, WorkflowReader read) {
  return [request = std::move(request), read = std::move(read)](const ConsoleReply& reply) {
    const bool readAnyway =
        request.readFailedPostMentioning != nullptr &&
        reply.response.find(request.readFailedPostMentioning) != std::string::npos;
    if (reply.posted != 0 && !readAnyway) {
      LogWorkflowPostFailure(reply.log, reply.tag, request.what, request.logUrl,
                             request.vestrumGUID, reply.gateway.getErrorMsg(), reply.response);
      reply.errorMessage = request.postFailedMessage;
      return AttemptResult::kRetry;
    }
    const xml::ParseResult parsed = xml::ParseRootChildren(reply.response);
    const AttemptResult readable =
        CheckWorkflowReply(reply.log, reply.tag, *request.rules, parsed, reply.response,
                           request.logUrl, request.vestrumGUID, reply.errorMessage);
    if (readable != AttemptResult::kSuccess) return readable;
    return read(parsed, reply);
  };
}

}  // namespace zu
