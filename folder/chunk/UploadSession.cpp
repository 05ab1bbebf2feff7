#include "folder/chunk/UploadSession.h"

#include <utility>

#include "folder/chunk/UploadRequest.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Base64.h"
#include "platform/xml/CNMessage.h"
#include "session/ConsoleOperation.h"
#include "session/MessageReply.h"
#include "session/RetryLines.h"
#include "session/RetryPolicy.h"

namespace zu::folder {
namespace {

std::string DecodeForLog(const std::string& base64) {
  std::string plain;
  base64Decode(base64, plain);
  return plain;
}

// What the reply must be, and the lines and messages when it is not.
MessageReplyRules SessionReplyRules() {
  return {"requestId",
          false,
          {"Error: Failed to get upload session request ID. Error Message [%s]",
           FailureText::kGatewayError, L"Error: Failed to get upload session request ID.", nullptr},
          {"Error: webServer handler responded with error response [%s]", FailureText::kResponse,
           L"Error: webServer handler responded with error response", nullptr},
          {"Error: Unserialization failed for string [%s]", FailureText::kResponse,
           L"Error: Unserialization failed for response string", nullptr}};
}

}  // namespace

int RequestUploadSession(const SessionParams& params, const SessionRequest& request,
                         std::string& requestId, std::wstring& errorMessage) {
  return RunConsoleOperation(params, kSessionTag, nullptr, errorMessage, [&](ConsoleOperation& op) {
    op.url = request.uploadBase + "&forceRestart=true";
    op.bytes = request.chunk != nullptr ? request.chunk : "";  // the file's first chunk
    op.length = request.chunk != nullptr ? static_cast<long>(request.chunkLength) : 0L;
    op.headers = ConsoleHeaders::kOwnWithSession;
    op.ownHeaders = [&request](const std::string& sessionToken) {
      return UploadHeaders(sessionToken, request.base64FileName, request.fileSize,
                           request.modifiedTime, request.base64ParentPath);
    };
    op.notInitialized =
        L"ZUCloudService not initialized, no user/password provided, call "
        L"ZUCloudService::init() first";
    op.noGatewayMessage = L"ZUInternetGateway not initialized";
    op.wait = FixedWaitRetry(params.retryCount, kRetryWaitMs, false);
    op.retryPrefix =
        FormatLogText("Error: Failed to get request Id for file: [%s], parent path: [%s]. ",
                      DecodeForLog(request.base64FileName).c_str(),
                      DecodeForLog(request.base64ParentPath).c_str());
    op.retryLineSet = kRetryingAfterLine | kTotalRetryCountLine;
    op.read = ReadMessageReply(SessionReplyRules(), msg::kUploadFileResp,
                               [&requestId](CNMessageBase& reply, const ConsoleReply&) {
                                 using namespace msg;
                                 requestId =
                                     reply.getstring(kUploadRequestId.number, kUploadRequestId.tag,
                                                     kUploadFileResp.key, kUploadRequestId.key);
                                 return AttemptResult::kSuccess;
                               });
  });
}

}  // namespace zu::folder
