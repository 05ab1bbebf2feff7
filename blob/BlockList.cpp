// ZUCloudAzureService::UploadBlockList: commits a file's uploaded blocks, in
// file order, as its block blob with one Put Block List request, which may
// also set the blob's Content-MD5 and access tier (StoreHeaders.h).
#include <new>
#include <string>
#include <vector>

#include "ZUCloudAzureService.h"
#include "blob/BlobPath.h"
#include "blob/StoreHeaders.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "session/ConsoleOperation.h"
#include "session/NoThrow.h"
#include "session/SessionParams.h"

namespace {

constexpr const char* kTag = "UploadBlockList";
constexpr unsigned int kBlockListRetryWaitMs = 120000;
constexpr int kCreated = 201;

// The block list body on one line. Block ids are Base64 text and need no
// escaping.
std::string BuildBlockListBody(const std::vector<std::string>& blockIds) {
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList>";
  for (const std::string& id : blockIds) {
    body += "<Uncommitted>";
    body += id;
    body += "</Uncommitted>";
  }
  body += "</BlockList>";
  return body;
}

// One attempt's reply. Storage confirms a commit with 201 Created. Any other
// 2xx answer (an empty or foreign 200 from something between us and
// storage) proves nothing about the blob, so it is a failed attempt, never a
// success the completion report would then list.
zu::AttemptResult ReadCommitReply(const zu::ConsoleReply& reply, const std::string& fileName,
                                  const std::string& body) {
  if (reply.posted == 0) {
    int status = 0;
    reply.gateway.getLastServerResponseCode(status);
    if (status == kCreated) return zu::AttemptResult::kSuccess;
    reply.log->Error(kTag,
                     "Error: Block list for file [%s] was answered with HTTP status [%d] instead "
                     "of [%d]; the commit is not confirmed. Upload attempt [%d]. Response: [%s]",
                     fileName.c_str(), status, kCreated, reply.attempt, reply.response.c_str());
  } else {
    reply.log->Error(kTag,
                     "Error: Failed to upload chunk to cloud for file [%s], Input XML [%s]. "
                     "Upload attempt [%d]. Curl Error Message [%s], Error response: [%s]",
                     fileName.c_str(), body.c_str(), reply.attempt,
                     reply.gateway.getErrorMsg().c_str(), reply.response.c_str());
  }
  reply.errorMessage = L"Error: Failed to upload chunk to cloud.";
  return zu::AttemptResult::kRetry;
}

}  // namespace

int ZUCloudAzureService::UploadBlockList(const std::vector<std::string>& blockIds,
                                         const std::string& remoteFolder,
                                         const std::string& fileName, const std::string& sasToken,
                                         std::wstring& errorMessage) {
  return CommitBlockList(blockIds, remoteFolder, fileName, sasToken, std::string(), std::string(),
                         errorMessage);
}

int ZUCloudAzureService::CommitBlockList(const std::vector<std::string>& blockIds,
                                         const std::string& remoteFolder,
                                         const std::string& fileName, const std::string& sasToken,
                                         const std::string& fileMd5Base64,
                                         const std::string& accessTier,
                                         std::wstring& errorMessage) {
  auto onFailure = [&errorMessage] {
    errorMessage = L"Error: Failed to upload chunk to cloud.";
    return 0;
  };
  return zu::NoThrow(m_evDbg.get(), kTag, onFailure, [&]() -> int {
    // The same encoded path the blocks were sent to.
    std::string blobPath;
    std::string problem;
    if (!zu::blob::BuildBlobPath(remoteFolder, fileName, blobPath, problem)) {
      const std::string text = zu::blob::RefusedNameMessage(fileName, problem);
      m_evDbg->Error(kTag, "%s", text.c_str());
      errorMessage = FXString::ToWstring(text);
      return 0;
    }
    EvDebug* log = m_evDbg.get();
    return zu::RunConsoleOperation(
        sessionParams(), kTag, L"Error: Failed to upload chunk to cloud.", errorMessage,
        [&](zu::ConsoleOperation& op) {
          op.method = zu::ConsoleMethod::kPut;
          op.url = m_uploadURL + blobPath + "?comp=blocklist&" + sasToken;
          op.body = BuildBlockListBody(blockIds);
          op.headers = zu::ConsoleHeaders::kOwn;
          op.ownHeaders = [&](const std::string&) {
            ZuCURL::commandInfoList headers;
            zu::blob::AddCommitHeaders(headers, fileMd5Base64, accessTier);
            return headers;
          };
          op.noGatewayLine = [log] {
            log->Error(kTag, "Error: Failed to initialize ZuInternetGateway.");
          };
          op.noGatewayMessage = L"Error: Failed to initialize ZuInternetGateway.";
          op.wait = zu::FixedWaitRetry(m_nRetryCount, kBlockListRetryWaitMs, false);
          op.lines = zu::RetryLines{};
          op.read = [&fileName, &op](const zu::ConsoleReply& reply) {
            return ReadCommitReply(reply, fileName, op.body);
          };
        });
  });
}
