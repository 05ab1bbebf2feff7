// ZUCloudService::init and the DR folder set-up workflow.
//
// init records the credentials, checks them and runs the set-up workflow,
// which creates or finds the deployment's DR backup folder (or its Reports
// folder) and answers with the share ID, the folder path, the folder GUID and
// the upload base URL. The set-up values are written into the service object
// as they are parsed, so a failed attempt can leave some of them changed.
#include <string>

#include "ZUCloudService.h"
#include "folder/FolderInternal.h"
#include "folder/InitMessage.h"
#include "platform/host/ZUPIFocus.h"
#include "platform/http/ZuInternetGateway.h"
#include "platform/log/EvDebug.h"
#include "platform/text/FXString.h"
#include "platform/xml/XmlDom.h"
#include "session/ConsoleOperation.h"
#include "session/GatewaySession.h"
#include "session/NoThrow.h"
#include "session/ServiceFields.h"
#include "session/ServiceSettings.h"
#include "session/WorkflowInput.h"
#include "session/WorkflowReply.h"

namespace {

constexpr const char* kInitTag = "init";
constexpr const char* kSetupTag = "ExecuteDRFolderSetUpWorkflow";
constexpr const char* kSetupPath =
    "/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true";

// The workflow input: the GUID and the kind of folder (2 Reports, 1 DR backup).
std::string BuildSetupBody(const std::string& vestrumGUID, bool reportsFolder) {
  return zu::WorkflowInput()
      .Text("VestrumGUID", vestrumGUID)
      .Number("FolderType", reportsFolder ? 2 : 1)
      .Finish();
}

constexpr zu::WorkflowReplyRules kSetupReplyRules = {
    "ZU Cloud Folder setup workflow",
    "Error: Failed to retrieve share ID or folder GUID or folder path.",
    L"Error: Failed to retrieve share ID or folder GUID or folder path.",
};

// Where the set-up reply's values go.
struct SetupTargets {
  const std::string& consoleUrl;
  std::string& shareID;
  std::string& folderPath;  // the service's copy
  std::string& uploadURL;
  std::string& callerFolderGUID;
  std::string& callerFolderPath;
};

// Why `shareID` may not become part of a request path, or null. The ID is
// placed in the paths of the folder and upload requests, which carry the
// session token: one that could leave its segment ("../../api/Login?x=")
// would send them elsewhere on the console.
const char* ShareIdProblem(const std::string& shareID) {
  if (shareID == "." || shareID.find("..") != std::string::npos) return "holds \"..\" or is \".\"";
  for (unsigned char c : shareID) {
    if (c < 0x20 || c == 0x7F) return "holds a control character";
    if (c == '/' || c == '\\' || c == '?' || c == '#') {
      return "holds a character that would leave its place in the request path ('/', '\\', '?' "
             "or '#')";
    }
  }
  return nullptr;
}

// Stores the values of a parsed set-up reply. Only the root's direct
// children count; a repeated element overwrites the value, while a value
// once received stays received. Success when all four were received; a
// refused upload URL or share ID stops the workflow (and is never stored: a
// later request must not use it).
zu::AttemptResult StoreSetupReply(EvDebug* log, const zu::xml::ParseResult& parsed,
                                  const std::string& response, const SetupTargets& to,
                                  std::wstring& errorMessage) {
  bool shareReceived = false;
  bool pathReceived = false;
  bool guidReceived = false;
  bool uploadUrlReceived = false;
  std::string refusal;  // why a value of the reply is not used
  for (const zu::xml::Element& child : parsed.children) {
    if (child.name == "shareID") {
      if (const char* problem = ShareIdProblem(child.text)) {
        refusal = std::string("The share ID given by the cloud ") + problem +
                  "; nothing is sent with it.";
        continue;
      }
      to.shareID = child.text;
      if (!to.shareID.empty()) shareReceived = true;
    } else if (child.name == "folderPath") {
      to.callerFolderPath = child.text;
      to.folderPath = to.callerFolderPath;
      if (!child.text.empty()) pathReceived = true;
    } else if (child.name == "folderGUID") {
      to.callerFolderGUID = child.text;
      if (!child.text.empty()) guidReceived = true;
    } else if (child.name == "uploadURL") {
      const zu::HandedOutUrlProblem problem = zu::CheckHandedOutUrl(to.consoleUrl, child.text);
      if (problem != zu::HandedOutUrlProblem::kNone) {
        refusal = std::string("The upload URL given by the cloud ") +
                  zu::DescribeHandedOutUrlProblem(problem) + "; nothing is sent to it.";
        continue;
      }
      to.uploadURL = child.text;
      if (!child.text.empty()) uploadUrlReceived = true;
    }
  }
  if (!refusal.empty()) {
    log->Error(kSetupTag, "Error: Failed to create DR backup folder. %s Response [%s]",
               refusal.c_str(), response.c_str());
    errorMessage = FXString::ToWstring("Error: Failed to create DR backup folder. " + refusal);
    return zu::AttemptResult::kStop;
  }
  return shareReceived && pathReceived && guidReceived && uploadUrlReceived
             ? zu::AttemptResult::kSuccess
             : zu::AttemptResult::kRetry;
}

// What init lacks for the set-up, for the caller ("" when nothing); logs
// it too.
std::wstring MissingInitArgument(EvDebug* log, const std::string& url, const std::string& userName,
                                 const std::string& password, const std::string& vestrumGUID,
                                 bool reportsFolder) {
  const char* folder = reportsFolder ? "Reports folder" : "DR backup folder";
  if (url.empty() || userName.empty() || password.empty()) {
    log->Error(kInitTag,
               "Error: Failed to create %s at URL [%s]. Error: empty username or password "
               "provided.",
               folder, url.c_str());
    return url.empty() ? L"Error: No web console URL: the setting \"Cloud URL\" is empty."
                       : L"Error: No user name or password was given.";
  }
  if (vestrumGUID.empty()) {
    log->Error(kInitTag, "Error: Failed to create %s. Error: empty vestrum ID provided.", folder);
    return L"Error: No deployment GUID was given.";
  }
  return std::wstring();
}

}  // namespace

int ZUCloudService::init(const std::string& userName, const std::string& password,
                         const std::string& focus, const std::string& vestrumGUID,
                         std::string& folderGUID, std::string& folderPath,
                         const std::string& loginField, bool reportsFolder) {
  return zu::NoThrow(m_evDbg.get(), kInitTag, 0, [&]() -> int {
    ZUPI_Focus::setFocus(focus.c_str());
    ZUPI_Focus::setFocus(ZUPI_Focus::getFocus().c_str());
    m_evDbg->initialize(m_logInstance.get(), EvDebug::kZuCloudLogId, 0, false, "");
    zu::LogSettingsFileNotice(m_evDbg.get(), kInitTag);

    zu::ServiceFields::TakeLogin(*this, kInitTag, userName, password, loginField);
    // A plain substring test: "https:" anywhere in the URL counts.
    m_bSecured = m_url.find("https:") != std::string::npos;

    const std::wstring missing = MissingInitArgument(m_evDbg.get(), m_url, m_userName, m_password,
                                                     vestrumGUID, reportsFolder);
    zu::folder::RememberInitMessage(this, missing);
    if (!missing.empty()) {
      m_bInitialized = 0;
      return 0;
    }

    // The set-up and its login refuse to run unless the service counts as
    // initialised; the outcome below decides what it finally is.
    m_bInitialized = 1;
    std::wstring message;
    if (ExecuteDRFolderSetUpWorkflow(kSetupPath, vestrumGUID, reportsFolder, folderGUID, folderPath,
                                     message, "", true) == 1) {
      m_evDbg->Debug(kInitTag, "Success: Folder creation is successful for user [%s]",
                     m_userName.c_str());
      m_bFolderReady = 1;
      m_bInitialized = 1;
      return 1;
    }
    m_evDbg->Error(kInitTag,
                   "Error: Failed to log in or set up the DR backup folder. Error Message [%ls]. "
                   "VestrumGUID [%s] ",
                   message.c_str(), vestrumGUID.c_str());
    zu::folder::RememberInitMessage(
        this, message.empty()
                  ? std::wstring(L"Error: Failed to set up the DR backup folder. Please check "
                                 L"ZUCloudService.log for more details.")
                  : message);
    m_bFolderReady = 0;
    m_bInitialized = 0;
    return 0;
  });
}

int ZUCloudService::ExecuteDRFolderSetUpWorkflow(const std::string& urlPath,
                                                 const std::string& vestrumGUID, bool reportsFolder,
                                                 std::string& folderGUID, std::string& folderPath,
                                                 std::wstring& errorMessage,
                                                 const std::string& /*reserved*/,
                                                 bool ignoreRetryWait) {
  EvDebug* log = m_evDbg.get();
  return zu::RunConsoleOperation(
      sessionParams(), kSetupTag, nullptr, errorMessage, [&](zu::ConsoleOperation& op) {
        op.url = m_url + urlPath;
        op.body = BuildSetupBody(vestrumGUID, reportsFolder);
        op.notInitialized = zu::folder::kNotInitialized;
        op.wait = zu::FixedWaitRetry(m_nRetryCount, zu::kRetryWaitMs, ignoreRetryWait);
        op.retryPrefix = zu::FormatLogText(
            "Error: Failed to execute setup folder workflow in cloud for Vestrum GUID [%s]. ",
            vestrumGUID.c_str());
        const SetupTargets targets{m_url,       m_shareID,  m_folderPath,
                                   m_uploadURL, folderGUID, folderPath};
        // A failed POST whose reply still names a share is read like a
        // successful one.
        op.read = zu::ReadWorkflowReply(
            {"DR folder setup workflow", urlPath, vestrumGUID,
             L"Failed to create DR backup folder.", &kSetupReplyRules, "shareID"},
            [log, targets](const zu::xml::ParseResult& parsed, const zu::ConsoleReply& reply) {
              return StoreSetupReply(log, parsed, reply.response, targets, reply.errorMessage);
            });
      });
}
