// Blob service init and the web-console set-up, against scripted gateways:
// mode selection, the request (URL, headers, body), the reply walk, the
// early-ending retry loop and its log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/BlobFakeCloud.h"
#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace {

using zutest::BlobServiceAccess;
using zutest::CountOccurrences;
using zutest::FakeRequest;

constexpr const char* kConsole = "http://console.test/webconsole";
constexpr const char* kApiPath = "/api/zudrbackup/setup";
constexpr const char* kWorkflowPath =
    "/api/Workflow/Setup_DRBackup_ZUCloudV3/Action/Execute?outputonly=true";

class BlobSetup : public ::testing::Test {
 protected:
  void SetUp() override { env_.setGlobal("Cloud URL", kConsole); }

  std::vector<FakeRequest> requests(const std::string& kind) {
    return zutest::BlobRequests(fakes_.journal(), kind);
  }

  int init(BlobServiceAccess& service, std::wstring& message, const std::string& guid = "GUID-1",
           const std::string& password = "s3cr3t", const std::string& setId = "set-9") {
    return service.init("ann", password, "focusA", guid, 42, 4294967295u, setId, 2, 77, message,
                        "extra");
  }

  zutest::ServiceEnv env_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  zutest::BlobFakeCloud cloud_{fakes_.journal()};
};

TEST_F(BlobSetup, ApiModeIsTheDefaultAndStoresUrlAndToken) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message), 1) << std::string(message.begin(), message.end());

  const std::vector<FakeRequest> all = requests("");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].url, std::string(kConsole) + "/api/Login");
  const FakeRequest& setup = all[1];
  EXPECT_EQ(setup.method, "POST");
  EXPECT_EQ(setup.url, std::string(kConsole) + kApiPath);
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& h : setup.headers) headers.emplace_back(h.name, h.value);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Accept", "application/xml"},
      {"Authtoken", "sess-4b1d77"},
      {"Content-type", "application/xml"}};
  EXPECT_EQ(headers, expected);
  EXPECT_EQ(setup.body,
            "<Workflow_StartWorkflow><options><inputs><VestrumGUID>GUID-1</VestrumGUID>"
            "<SetID>set-9</SetID><JobId>4294967295</JobId><BackupLevel>2</BackupLevel>"
            "<FullJobId>77</FullJobId></inputs></options><outputFormat>0</outputFormat>"
            "</Workflow_StartWorkflow>");

  EXPECT_EQ(service.m_uploadURL, "https://store.test/devacct/c1");
  EXPECT_EQ(service.m_sasToken, "sv=2020-04-08&sp=racwdl&sig=S3CRETSIGx%2Fy%3D");
  EXPECT_TRUE(service.m_bSecured);  // follows the storage URL, not the http console
  EXPECT_EQ(service.m_bInitialized, 1);
  EXPECT_EQ(service.m_bFolderReady, 1);
  EXPECT_EQ(service.m_vestrumGUID, "GUID-1");
  EXPECT_EQ(service.m_vestrumId, 42);
  EXPECT_EQ(service.m_password, "czNjcjN0");
  EXPECT_EQ(service.m_loginExtra, "extra");
  EXPECT_TRUE(message.empty());

  const std::string log = env_.logText();
  EXPECT_NE(log.find("Creating DR Backup folder in API mode"), std::string::npos);
  EXPECT_NE(log.find("Success: Folder creation is successful for user [ann]"), std::string::npos);
  EXPECT_EQ(log.find("S3CRETSIG"), std::string::npos);
  EXPECT_EQ(log.find("sess-4b1d77"), std::string::npos);
}

TEST_F(BlobSetup, WorkflowModeSendsTheSameBodyToTheWorkflowPath) {
  env_.setGlobal("bEnableZUCloudDRBackupAPIMode", "false");
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  const std::vector<FakeRequest> setup = requests("setup");
  ASSERT_EQ(setup.size(), 1u);
  EXPECT_EQ(setup[0].url, std::string(kConsole) + kWorkflowPath);
  EXPECT_NE(setup[0].body.find("<VestrumGUID>GUID-1</VestrumGUID><SetID>set-9</SetID>"),
            std::string::npos);
  EXPECT_NE(env_.logText().find("Creating DR Backup folder in workflow mode"), std::string::npos);
}

TEST_F(BlobSetup, AzureFunctionsModeNeedsNoCredentialsAndNoLogin) {
  env_.setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode", "TRUE");
  env_.setGlobal("ZUCloudDRBackupAzureBaseUrl", "http://af.test/azfunc");
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.init("", "", "focusA", "GUID-1", 42, 9, "set-9", 1, 77, message, ""), 1);
  EXPECT_TRUE(requests("login").empty());
  ASSERT_EQ(requests("").size(), 1u);
  EXPECT_EQ(requests("af_setup").size(), 1u);
  EXPECT_EQ(service.m_url, "http://af.test/azfunc");
  EXPECT_TRUE(service.m_userName.empty());
  EXPECT_NE(env_.logText().find(
                "ZUCloudAzureService(225): -Debug-: Azure mode: Calling InitAzureFunctions"),
            std::string::npos);
}

TEST_F(BlobSetup, MissingCredentialsOrGuidSendNothing) {
  {
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message, "GUID-1", ""), 0);
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_TRUE(message.empty());
    EXPECT_NE(env_.logText().find("Error: Failed to create DR backup folder at URL [" +
                                  std::string(kConsole) +
                                  "]. Error: empty username or password provided."),
              std::string::npos);
  }
  {
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message, ""), 0);
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_TRUE(message.empty());
  }
  {
    // A "Cloud URL" that is present but empty is not replaced by setURL's
    // value or the default: init stops at the empty-credentials check.
    env_.setGlobal("Cloud URL", "");
    BlobServiceAccess service;
    service.setURL("http://other.test/webconsole");
    std::wstring message;
    EXPECT_EQ(init(service, message), 0);
    EXPECT_EQ(service.m_url, "");
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_NE(env_.logText().find("Error: Failed to create DR backup folder at URL []. Error: "
                                  "empty username or password provided."),
              std::string::npos);
  }
  EXPECT_TRUE(requests("").empty());
}

TEST_F(BlobSetup, InitAgainWithAnEmptyGuidLeavesTheServiceUninitialised) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  EXPECT_EQ(init(service, message, ""), 0);
  EXPECT_EQ(service.m_bInitialized, 0);
  EXPECT_EQ(requests("setup").size(), 1u);
  // Nothing runs under the emptied GUID.
  EXPECT_EQ(service.ExecuteDRCompleteWorkflow(1, 1, message), 0);
  EXPECT_TRUE(requests("finalize").empty());
}

TEST_F(BlobSetup, InsertedValuesAreXmlEscaped) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message, "g&<1>", "s3cr3t", "s'\""), 1);
  const std::vector<FakeRequest> setup = requests("setup");
  ASSERT_EQ(setup.size(), 1u);
  EXPECT_NE(
      setup[0].body.find("<VestrumGUID>g&amp;&lt;1&gt;</VestrumGUID><SetID>s&apos;&quot;</SetID>"),
      std::string::npos)
      << setup[0].body;
}

TEST_F(BlobSetup, AMissingTokenEndsAtOnceWithTheReplysMessage) {
  cloud_.setupReply =
      "<R><AzureSASServiceURL>https://x.test/a</AzureSASServiceURL>"
      "<errorMessage>Quota exceeded</errorMessage></R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  EXPECT_EQ(message, L"Quota exceeded");
  EXPECT_EQ(requests("setup").size(), 1u);
  EXPECT_EQ(service.m_bInitialized, 0);
  EXPECT_EQ(service.m_bFolderReady, 0);
  const std::string log = env_.logText();
  EXPECT_NE(
      log.find("Error: Failed to retrieve SAS Token from ZU Cloud DR setup workflow response : ["),
      std::string::npos);
  EXPECT_NE(log.find("for Vestrum GUID [GUID-1]. Total retry count [0]"), std::string::npos);
  EXPECT_NE(
      log.find(
          "Error: Failed to create folder. Error Message [Quota exceeded]. VestrumGUID [GUID-1] "),
      std::string::npos);
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(BlobSetup, ReplyWalkSeesOnlyTheRootsChildrenAndKeepsTheLastOccurrence) {
  // The token nested one level deeper is not seen.
  cloud_.setupReply =
      "<R><AzureSASServiceURL>https://x.test/a</AzureSASServiceURL>"
      "<x><AzureSASToken>deep</AzureSASToken></x></R>";
  {
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message), 0);
  }
  // A later empty token replaces the text but "received" stays set.
  cloud_.setupReply =
      "<R><AzureSASServiceURL>http://plain.test/a</AzureSASServiceURL>"
      "<AzureSASToken>t1</AzureSASToken><AzureSASToken></AzureSASToken><other>z</other></R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 1);
  EXPECT_EQ(service.m_sasToken, "");
  EXPECT_EQ(service.m_uploadURL, "http://plain.test/a");
  EXPECT_FALSE(service.m_bSecured);
}

// An https console must not hand out a storage URL that would carry the SAS
// signature in clear, nor one with a control character; the setting that
// turns certificate checks off (a test set-up) lets plain http through. An
// empty URL is no URL at all: the reply's own message says why.
TEST_F(BlobSetup, StorageUrlsThatWouldLeakOrSplitAreRefused) {
  env_.setGlobal("Cloud URL", "https://console.test/webconsole");
  struct Case {
    std::string url;
    std::wstring reason;       // of the refusal, "" for the reply's message
    std::string errorMessage;  // the reply's errorMessage, "" for none
  };
  const std::vector<Case> cases = {
      {"http://store.test/devacct/c1", L"is not https although the web console is", ""},
      {"store.test/devacct/c1", L"is not https although the web console is", ""},
      // "https:" later in the path or query makes no URL https.
      {"http://store.test/https://devacct/c1", L"is not https although the web console is", ""},
      {"http://store.test/devacct/c1?next=https:x", L"is not https although the web console is",
       ""},
      {"https://store.test/dev&#9;acct/c1", L"holds a control character", ""},
      {"https://store.test/c1&#13;&#10;X-Injected: evil", L"holds a control character", ""},
      {"", L"", "No storage account is assigned to this deployment."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    cloud_.setupReply =
        "<R><AzureSASServiceURL>" + c.url +
        "</AzureSASServiceURL><AzureSASToken>sv=1&amp;sig=S</AzureSASToken>" +
        (c.errorMessage.empty() ? "" : "<errorMessage>" + c.errorMessage + "</errorMessage>") +
        "</R>";
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message), 0);
    if (c.reason.empty()) {
      EXPECT_EQ(message, std::wstring(c.errorMessage.begin(), c.errorMessage.end()));
    } else {
      EXPECT_EQ(message,
                L"Error: Failed to set up DR backup upload. The storage service URL given "
                L"by the cloud " +
                    c.reason + L"; nothing is sent to it.");
    }
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_TRUE(service.m_uploadURL.empty());
  }
  EXPECT_EQ(requests("setup").size(), cases.size());  // no second attempt

  env_.setSection("Reports", "nWebReportsIgnoreCertificateErrors", "1");
  cloud_.setupReply =
      "<R><AzureSASServiceURL>http://store.test/devacct/c1</AzureSASServiceURL>"
      "<AzureSASToken>sv=1&amp;sig=S</AzureSASToken></R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 1);
  EXPECT_EQ(service.m_uploadURL, "http://store.test/devacct/c1");
}

TEST_F(BlobSetup, TokensNoUrlCanCarryAreRefusedOnce) {
  for (const std::string token :
       {"sv=1&amp;sig=S&#13;&#10;X-Injected: evil", "sv=1 &amp;sig=S", "sv=1#frag", "sv=1&#9;x"}) {
    SCOPED_TRACE(token);
    cloud_.setupReply =
        "<R><AzureSASServiceURL>https://store.test/devacct/c1"
        "</AzureSASServiceURL><AzureSASToken>" +
        token + "</AzureSASToken></R>";
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message), 0);
    EXPECT_EQ(message,
              L"Error: Failed to set up DR backup upload. The SAS token given by the "
              L"cloud holds characters no URL can carry; nothing is sent with it.");
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_TRUE(service.m_sasToken.empty());
  }
  EXPECT_EQ(requests("setup").size(), 4u);  // no second attempt
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(BlobSetup, ATokenInALoggedReplyIsRedacted) {
  cloud_.setupReply = "<R><AzureSASToken>sv=1&amp;sig=LEAKME42</AzureSASToken></R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  const std::string log = env_.logText();
  EXPECT_NE(log.find("sig=REDACTED"), std::string::npos);
  EXPECT_EQ(log.find("LEAKME42"), std::string::npos);
  EXPECT_EQ(log.find("czNjcjN0"), std::string::npos);
  EXPECT_EQ(log.find("s3cr3t"), std::string::npos);
}

TEST_F(BlobSetup, AReplyThatIsNotWellFormedTakesTheUnknownErrorPath) {
  cloud_.setupReply = "<R><AzureSASToken>x</R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  EXPECT_EQ(requests("setup").size(), 1u);
  EXPECT_NE(env_.logText().find("and vestrum ID [GUID-1]. Error Message: Unknown error"),
            std::string::npos);
}

TEST_F(BlobSetup, AHostileDoctypeIsRefused) {
  cloud_.setupReply = "<?xml version=\"1.0\"?>" + zutest::EntityBombDoctype("R", 1) +
                      "<R><AzureSASServiceURL>https://x.test/&a9;</AzureSASServiceURL>"
                      "<AzureSASToken>t</AzureSASToken></R>";
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  EXPECT_EQ(requests("setup").size(), 1u);
  EXPECT_EQ(service.m_bInitialized, 0);
  EXPECT_TRUE(service.m_uploadURL.empty());
}

TEST_F(BlobSetup, FailedPostsAreRepeatedWithoutWaitingFromInit) {
  env_.setGlobal("DRBackupRetryCount", "3");
  cloud_.failAlways("setup", true);
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  EXPECT_EQ(message, L"Failed to create DR backup folder.");
  EXPECT_EQ(requests("setup").size(), 3u);
  EXPECT_TRUE(sleeps_.waits().empty());
  const std::string log = env_.logText();
  EXPECT_EQ(CountOccurrences(log, "Retrying immediately since called with Ignore retry wait"), 3u);
  EXPECT_EQ(CountOccurrences(log, "Error: Failed to execute DR setup workflow with workflow URL [" +
                                      std::string(kApiPath) + "] and vestrum ID [GUID-1]."),
            3u);
  EXPECT_NE(log.find("Vestrum GUID [GUID-1]. Total retry count [3]"), std::string::npos);
}

TEST_F(BlobSetup, DirectCallWaitsBetweenAttemptsUnlessToldNotTo) {
  BlobServiceAccess service;
  service.forceInitialized(kConsole, "ann", "s3cr3t");
  cloud_.failNext("setup", 1);
  std::wstring message;
  EXPECT_EQ(service.ExecuteDRFolderSetUpWorkflow(kWorkflowPath, "G2", 5, "s", 1, 6, message, false),
            1);
  EXPECT_EQ(requests("setup").size(), 2u);
  // The login waits nothing (it succeeded); the set-up waited once.
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned int>{120000});
  EXPECT_NE(env_.logText().find("Vestrum GUID [G2]. Retrying after [120000] ms, retry count [1]"),
            std::string::npos);
  // A success after a failure keeps the failure's message.
  EXPECT_EQ(message, L"Failed to create DR backup folder.");
}

TEST_F(BlobSetup, NotInitializedOrLoginFailureSendsNoSetUp) {
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.ExecuteDRFolderSetUpWorkflow(kApiPath, "G", 1, "s", 1, 1, message, true), 0);
  EXPECT_EQ(message,
            L"Error: ZUCloudAzureService not initialized, no user/password provided, call "
            L"ZUCloudAzureService::init() first");
  EXPECT_TRUE(requests("").empty());

  env_.setGlobal("DRBackupRetryCount", "2");
  BlobServiceAccess second;
  cloud_.failAlways("login", true);
  EXPECT_EQ(init(second, message), 0);
  EXPECT_EQ(message,
            L"Error: Failed to login to cloud. Please check ZUCloudService.log for more details.");
  EXPECT_EQ(requests("login").size(), 2u);
  EXPECT_TRUE(requests("setup").empty());
}

}  // namespace
