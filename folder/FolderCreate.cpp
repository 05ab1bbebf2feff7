// Folder creation in the drive share found by the DR folder set-up.
//
// CreateFolder posts an App::FileResourceInfo to the share's createfolder
// action and reads the new folder's GUID from the App::FileResourceResponse;
// CreateDRFolder places a folder under the DR backup folder path.
#include <string>
#include <utility>

#include "ZUCloudService.h"
#include "folder/FolderInternal.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/xml/CNMessage.h"
#include "session/ConsoleOperation.h"
#include "session/MessageReply.h"
#include "session/NoThrow.h"

namespace {

constexpr const char* kCreateTag = "CreateFolder";
constexpr const char* kCreateDRTag = "CreateDRFolder";

// The request's XML; false when a name cannot be carried in XML (control
// characters, bytes that are not UTF-8).
bool BuildCreateFolderBody(const std::string& parentPath, const std::string& folderName,
                           std::string& body) {
  using namespace zu::msg;
  CNMessageBase request(kFileResourceInfo.type, kFileResourceInfo.id);
  request.setstring(kResName.number, kResName.tag, folderName, kFileResourceInfo.key, kResName.key);
  request.setstring(kResParentPath.number, kResParentPath.tag, parentPath, kFileResourceInfo.key,
                    kResParentPath.key);
  return request.serialize(body, false) == 0;
}

// The new folder's GUID and detail from a parsed reply; without a GUID, the
// server's error text is logged and the attempt fails.
zu::AttemptResult ReadCreatedFolder(EvDebug* log, CNMessageBase& reply, std::string& folderGUID,
                                    std::string& folderDetail, std::wstring& errorMessage) {
  using namespace zu::msg;
  CNMessageBase** resource = reply.getObjectAccessor(
      true, true, kRespResource.number, kRespResource.tag, kFileResourceResponse.key,
      kRespResource.key, kFileResourceInfo.type, kFileResourceInfo.id);
  if (resource != nullptr && *resource != nullptr) {
    const std::string guid = (*resource)->getstring(kResFolderGUID.number, kResFolderGUID.tag,
                                                    kFileResourceInfo.key, kResFolderGUID.key);
    if (!guid.empty()) {
      folderGUID = guid;
      folderDetail = (*resource)->getstring(kResFolderDetail.number, kResFolderDetail.tag,
                                            kFileResourceInfo.key, kResFolderDetail.key);
      return zu::AttemptResult::kSuccess;
    }
  }
  std::string serverError;
  CNMessageBase** status = reply.getObjectAccessor(true, false, kRespStatus.number, kRespStatus.tag,
                                                   kFileResourceResponse.key, kRespStatus.key,
                                                   kGenericResp.type, kGenericResp.id);
  if (status != nullptr && *status != nullptr) {
    serverError = (*status)->getstring(kGenericErrorText.number, kGenericErrorText.tag,
                                       kGenericResp.key, kGenericErrorText.key);
  }
  log->Error(kCreateTag, "Error: Failed to create folder in Cloud. Error Message [%s]",
             serverError.c_str());
  errorMessage = L"Error: Failed to create folder in Cloud.";
  return zu::AttemptResult::kRetry;
}

}  // namespace

int ZUCloudService::CreateDRFolder(const std::string& vestrumId, const std::string& subFolder,
                                   const std::string& folderName, std::string& folderGUID,
                                   std::string& folderDetail, std::wstring& errorMessage) {
  return zu::NoThrow(m_evDbg.get(), kCreateDRTag, 0, [&]() -> int {
    // Either flag will do: a later init rejected for its arguments clears
    // m_bInitialized but leaves the folder of the earlier set-up ready.
    if (!m_bInitialized && !m_bFolderReady) {
      errorMessage =
          L"Error: ZUCloudService not initialized, no user/password/VestrumGUID provided, call "
          L"ZUCloudService::init() first";
      return 0;
    }
    if (vestrumId.empty() || folderName.empty()) {
      errorMessage = L"Error: Vestrum ID and folder name cannot be empty";
      return 0;
    }
    // Exactly one backslash joins the sub-folder, whatever the folder path
    // ends with.
    const std::string parentPath =
        subFolder.empty() ? m_folderPath : m_folderPath + "\\" + subFolder;
    if (CreateFolder(parentPath, folderName, folderGUID, folderDetail, errorMessage) == 1) {
      return 1;
    }
    m_evDbg->Error(kCreateDRTag, "Error: Failed to create DR backup folder. Error Message [%ls]",
                   errorMessage.c_str());
    return 0;
  });
}

int ZUCloudService::CreateFolder(const std::string& parentPath, const std::string& folderName,
                                 std::string& folderGUID, std::string& folderDetail,
                                 std::wstring& errorMessage) {
  EvDebug* log = m_evDbg.get();
  return zu::RunConsoleOperation(
      sessionParams(), kCreateTag, nullptr, errorMessage, [&](zu::ConsoleOperation& op) {
        op.url = zu::folder::SharePath(m_url, m_shareID) + "/action/createfolder";
        op.notInitialized = zu::folder::kNotInitialized;
        if (!BuildCreateFolderBody(parentPath, folderName, op.body)) {
          op.bodyRefused = zu::AttemptFailure{
              "Error: Failed to create folder in cloud. The folder name or parent path holds "
              "characters that cannot be sent.",
              zu::FailureText::kResponse,
              L"Error: Failed to create folder in cloud. The folder name or parent path holds "
              L"characters that cannot be sent.",
              nullptr};
        }
        op.wait = zu::FixedWaitRetry(m_nRetryCount, zu::kRetryWaitMs, false);
        op.retryPrefix = zu::FormatLogText(
            "Error: Failed to create folder in cloud. Folder name: [%s], Parent Path: [%s]. ",
            folderName.c_str(), parentPath.c_str());
        op.retryLineSet = zu::kRetryingAfterLine | zu::kTotalRetryCountLine;
        // "GUID" anywhere in the raw text (also "folderGUID", "fileGUID"); a
        // failed POST whose reply mentions it is read like a successful one.
        zu::MessageReplyRules rules;
        rules.mention = "GUID";
        rules.readFailedPostThatMentions = true;
        rules.postFailed = {"Error: Failed to create DR backup folder. Error Message[%s]",
                            zu::FailureText::kGatewayError,
                            L"Error: Failed to create DR backup folder.", nullptr};
        rules.noMention = {"Error: webServer handler responded with error response [%s]",
                           zu::FailureText::kResponse, L"Error: Failed to create folder in cloud",
                           nullptr};
        rules.unreadable = {"Error: Failed to serialize response XML. Error Message [%s]",
                            zu::FailureText::kGatewayError,
                            L"Error: Failed to serialize response XML.", nullptr};
        op.read = zu::ReadMessageReply(
            std::move(rules), zu::msg::kFileResourceResponse,
            [log, &folderGUID, &folderDetail](CNMessageBase& reply, const zu::ConsoleReply& at) {
              return ReadCreatedFolder(log, reply, folderGUID, folderDetail, at.errorMessage);
            });
      });
}
