// ZUCloudService::init and the DR folder set-up workflow, against fake
// gateways: the request (URL, headers, body), the reply handling, the
// attempt loop with its waits and lines, and the hostile replies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/host/ZUPIFocus.h"
#include "platform/text/Base64.h"
#include "platform/xml/XmlDom.h"
#include "session/ServiceSettings.h"
#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/FolderFakeCloud.h"
#include "support/FolderFakeTest.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

const char* const kConsole = "http://console.test/webconsole";
const char* const kSetupUrl =
    "http://console.test/webconsole/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/"
    "Execute?outputonly=true";
const char* const kGoodReply =
    "<Workflow_Result><shareID>share-7</shareID><folderPath>\\ZU\\DR Backup</folderPath>"
    "<folderGUID>fg-11</folderGUID><uploadURL>http://upload.test/files</uploadURL>"
    "</Workflow_Result>";

std::string DrBody(const std::string& escapedGuid, int folderType) {
  return "<Workflow_StartWorkflow><options><inputs><VestrumGUID>" + escapedGuid +
         "</VestrumGUID><FolderType>" + std::to_string(folderType) +
         "</FolderType></inputs></options><outputFormat>0</outputFormat></"
         "Workflow_StartWorkflow>";
}

class FolderSetupTest : public FolderFakeTest {
 protected:
  FolderSetupTest() {
    env.setGlobal("Cloud URL", kConsole);
    cloud.setOtherHandler([this](const FakeRequest& request) {
      ++setupRequests;
      if (request.url != kSetupUrl) return FakeReply{1, "wrong url", 404, "HTTP 404"};
      if (!replies.empty()) {
        FakeReply reply = replies.front();
        if (replies.size() > 1) replies.erase(replies.begin());
        return reply;
      }
      return FakeReply{0, kGoodReply, 200, ""};
    });
  }

  std::vector<FakeRequest> setupPosts() {
    std::lock_guard<std::mutex> lock(gateways.journal().mutex);
    std::vector<FakeRequest> posts;
    for (const FakeRequest& r : gateways.journal().requests) {
      if (r.url.find("/api/Login") == std::string::npos) posts.push_back(r);
    }
    return posts;
  }

  int runInit(const std::string& password, const std::string& guid, bool reports) {
    return service.init("ann", password, "focus-a", guid, folderGUID, folderPath, "extra-cred",
                        reports);
  }

  // Replies of the set-up endpoint in order; the last one repeats.
  std::vector<FakeReply> replies;
  int setupRequests = 0;
  std::string folderGUID = "old-guid";
  std::string folderPath = "old-path";
};

TEST_F(FolderSetupTest, InitSendsTheDrFolderRequestAndKeepsTheReplyValues) {
  EXPECT_EQ(0, runInit("s3cr3t", "", false));  // a reason, then a success clears it
  ASSERT_EQ(1, runInit("s3cr3t", "0f6b-42", false));
  EXPECT_EQ(L"", service.initErrorMessage());

  EXPECT_EQ(1, service.m_bInitialized);
  EXPECT_EQ(1, service.m_bFolderReady);
  EXPECT_EQ(kConsole, service.m_url);
  EXPECT_EQ("czNjcjN0", service.m_password);  // Base64 of the password
  EXPECT_EQ("ann", service.m_userName);
  EXPECT_EQ("extra-cred", service.m_loginExtra);
  EXPECT_FALSE(service.m_bSecured);
  EXPECT_EQ("focus-a", ZUPI_Focus::getFocus());
  EXPECT_EQ("share-7", service.m_shareID);
  EXPECT_EQ("\\ZU\\DR Backup", service.m_folderPath);
  EXPECT_EQ("http://upload.test/files", service.m_uploadURL);
  EXPECT_EQ("fg-11", folderGUID);
  EXPECT_EQ("\\ZU\\DR Backup", folderPath);

  const std::vector<FakeRequest> posts = setupPosts();
  ASSERT_EQ(1u, posts.size());
  EXPECT_EQ(kSetupUrl, posts[0].url);
  EXPECT_EQ(DrBody("0f6b-42", 1), posts[0].body);
  EXPECT_EQ((std::vector<std::string>{"Accept", "Authtoken", "Content-type"}),
            HeaderNames(posts[0].headers));
  EXPECT_EQ("application/xml", HeaderValue(posts[0].headers, "Accept"));
  EXPECT_EQ("application/xml", HeaderValue(posts[0].headers, "Content-type"));
  ASSERT_EQ(1, cloud.logins());
  EXPECT_EQ(cloud.tokens()[0], HeaderValue(posts[0].headers, "Authtoken"));

  const std::string log = env.logText();
  EXPECT_NE(std::string::npos, log.find("Success: Folder creation is successful for user [ann]"));
  EXPECT_EQ(std::string::npos, log.find("Retrying"));
  EXPECT_EQ(std::string::npos, log.find("Total retry count"));
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(0, gatewaysLeft());
}

// The settings file decides where the password goes: one any user may
// change is still used, with one warning per init in the log.
TEST_F(FolderSetupTest, InitWarnsOfASettingsFileAnyUserMayChange) {
  ASSERT_EQ(1, runInit("s3cr3t", "g", false));
  EXPECT_EQ(0u, CountOccurrences(env.logText(), "Warning: settings file"));
  ASSERT_EQ(0, ::chmod(env.configPath().c_str(), 0666));
  ASSERT_EQ(1, runInit("s3cr3t", "g", false));
  EXPECT_EQ(
      1u, CountOccurrences(env.logText(), "WARN [init] Warning: settings file " + env.configPath() +
                                              " is used although any user may change "
                                              "it (mode 0666)"));
}

TEST_F(FolderSetupTest, ReportsFolderSendsFolderType2AndUsesItsWording) {
  ASSERT_EQ(1, runInit("s3cr3t", "g-1", true));
  ASSERT_EQ(1u, setupPosts().size());
  EXPECT_EQ(DrBody("g-1", 2), setupPosts()[0].body);

  EXPECT_EQ(0, runInit("", "g-1", true));
  EXPECT_EQ(0, runInit("s3cr3t", "", true));
  EXPECT_EQ(0, runInit("", "g-1", false));
  EXPECT_EQ(L"Error: No user name or password was given.", service.initErrorMessage());
  EXPECT_EQ(0, runInit("s3cr3t", "", false));
  EXPECT_EQ(L"Error: No deployment GUID was given.", service.initErrorMessage());
  EXPECT_EQ(1u, setupPosts().size());  // the rejected calls sent nothing
  EXPECT_EQ(0, service.m_bInitialized);
  EXPECT_EQ(1, service.m_bFolderReady);  // a rejected init leaves it alone

  const std::string log = env.logText();
  const std::string url = kConsole;
  EXPECT_EQ(1u, CountOccurrences(log, "Error: Failed to create Reports folder at URL [" + url +
                                          "]. Error: empty username or password provided."));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to create Reports folder. Error: empty vestrum "
                                 "ID provided."));
  EXPECT_EQ(1u, CountOccurrences(log, "Error: Failed to create DR backup folder at URL [" + url +
                                          "]. Error: empty username or password provided."));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to create DR backup folder. Error: empty vestrum "
                                 "ID provided."));
}

TEST_F(FolderSetupTest, EmptyUserNameIsRejectedAndTheUrlComesFromSettingSetUrlOrDefault) {
  EXPECT_EQ(L"", service.initErrorMessage());  // no init yet
  EXPECT_EQ(0, service.init("", "pw", "f", "g", folderGUID, folderPath, "", false));
  EXPECT_EQ(L"Error: No user name or password was given.", service.initErrorMessage());
  EXPECT_EQ(1u,
            CountOccurrences(env.logText(), "Error: Failed to create DR backup folder at URL [" +
                                                std::string(kConsole) +
                                                "]. Error: empty username or password provided."));
  // A setting that is present but empty wins as well: init stops at the
  // empty-credentials check and the credentials go to no host at all.
  env.setGlobal("Cloud URL", "");
  service.setURL("http://other.test/webconsole");
  EXPECT_EQ(0, runInit("s3cr3t", "g", false));
  EXPECT_EQ("", service.m_url);
  EXPECT_EQ(L"Error: No web console URL: the setting \"Cloud URL\" is empty.",
            service.initErrorMessage());
  EXPECT_EQ(1u, CountOccurrences(env.logText(),
                                 "Error: Failed to create DR backup folder at URL []. Error: "
                                 "empty username or password provided."));
  // Without the setting: setURL's value, else the default web console.
  zutest::WriteFile(env.configPath(), "[GlobalParam]\n");
  service.setURL("http://other.test/webconsole");
  EXPECT_EQ(0, runInit("", "g", false));
  EXPECT_EQ("http://other.test/webconsole", service.m_url);
  service.m_url.clear();
  EXPECT_EQ(0, runInit("", "g", false));
  EXPECT_EQ(zu::kDefaultCloudUrl, service.m_url);
  EXPECT_EQ(0, setupRequests);
  EXPECT_EQ(0, service.m_bInitialized);
  EXPECT_TRUE(gateways.journal().requests.empty()) << "no login was sent";
}

TEST_F(FolderSetupTest, SecuredFlagIsACaseSensitiveSubstringTest) {
  // An empty password stops init right after the flag is set.
  env.setGlobal("Cloud URL", "http://console.test/webconsole?next=https://elsewhere");
  runInit("", "g", false);
  EXPECT_TRUE(service.m_bSecured);
  env.setGlobal("Cloud URL", "HTTPS://console.test/webconsole");
  runInit("", "g", false);
  EXPECT_FALSE(service.m_bSecured);
  env.setGlobal("Cloud URL", "https://console.test/webconsole");
  runInit("", "g", false);
  EXPECT_TRUE(service.m_bSecured);
  EXPECT_EQ("https://console.test/webconsole", service.m_url);
}

// An https console must not hand out an upload URL that would carry the
// session token in clear, nor one with a control character; the setting that
// turns certificate checks off (a test set-up) lets plain http through.
TEST_F(FolderSetupTest, UploadUrlsThatWouldLeakOrSplitAreRefused) {
  env.setGlobal("Cloud URL", "https://console.test/webconsole");
  std::string reply;
  cloud.setOtherHandler([this, &reply](const FakeRequest&) {
    ++setupRequests;
    return FakeReply{0, reply, 200, ""};
  });
  struct Case {
    std::string url;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"http://upload.test/files", "is not https although the web console is"},
      {"upload.test/files", "is not https although the web console is"},
      {"https://upload.test/fi&#10;les", "holds a control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    reply =
        "<R><shareID>share-7</shareID><folderPath>\\ZU</folderPath>"
        "<folderGUID>fg-11</folderGUID><uploadURL>" +
        c.url + "</uploadURL></R>";
    const std::string line =
        "Error Message [Error: Failed to create DR backup folder. The upload "
        "URL given by the cloud " +
        c.reason + "; nothing is sent to it.]";
    const size_t before = CountOccurrences(env.logText(), line);
    service.m_uploadURL.clear();
    EXPECT_EQ(0, runInit("s3cr3t", "g", false));
    EXPECT_EQ(0, service.m_bInitialized);
    EXPECT_TRUE(service.m_uploadURL.empty());
    EXPECT_EQ(before + 1, CountOccurrences(env.logText(), line));
  }
  EXPECT_EQ(static_cast<int>(cases.size()), setupRequests);  // no second attempt

  env.setSection("Reports", "nWebReportsIgnoreCertificateErrors", "1");
  reply =
      "<R><shareID>share-7</shareID><folderPath>\\ZU</folderPath>"
      "<folderGUID>fg-11</folderGUID><uploadURL>http://upload.test/files</uploadURL></R>";
  EXPECT_EQ(1, runInit("s3cr3t", "g", false));
  EXPECT_EQ("http://upload.test/files", service.m_uploadURL);
}

// The share ID goes into the path of every folder and upload request, with
// the session token: one that could leave its segment is refused at once
// (no second attempt, nothing stored), and no request goes anywhere else.
TEST_F(FolderSetupTest, ShareIdsThatWouldLeaveTheirPathSegmentAreRefused) {
  std::string reply;
  cloud.setOtherHandler([this, &reply](const FakeRequest&) {
    ++setupRequests;
    return FakeReply{0, reply, 200, ""};
  });
  const std::vector<std::string> shareIds = {
      "../../../webconsole/api/Login?x=", "..", ".", "a/b", "a\\b", "a?b", "a#b", "a&#10;b"};
  for (const std::string& shareId : shareIds) {
    SCOPED_TRACE(shareId);
    reply = "<R><shareID>" + shareId +
            "</shareID><folderPath>\\ZU</folderPath>"
            "<folderGUID>fg-11</folderGUID><uploadURL>http://upload.test/files</uploadURL></R>";
    service.m_shareID.clear();
    const std::string line =
        "Error Message [Error: Failed to create DR backup folder. The "
        "share ID given by the cloud ";
    const size_t before = CountOccurrences(env.logText(), line);
    EXPECT_EQ(0, runInit("s3cr3t", "g", false));
    EXPECT_EQ(0, service.m_bInitialized);
    EXPECT_TRUE(service.m_shareID.empty());
    EXPECT_EQ(before + 1, CountOccurrences(env.logText(), line));
  }
  EXPECT_EQ(static_cast<int>(shareIds.size()), setupRequests);  // no second attempt
  for (const FakeRequest& r : setupPosts()) EXPECT_EQ(kSetupUrl, r.url);
}

TEST_F(FolderSetupTest, FailedPostWhoseReplyHoldsShareIdIsParsedAndCanSucceed) {
  replies = {FakeReply{1, kGoodReply, 500, "HTTP 500"}};
  ASSERT_EQ(1, runInit("s3cr3t", "g-2", false));
  EXPECT_EQ("share-7", service.m_shareID);
  EXPECT_EQ(1u, setupPosts().size());
}

TEST_F(FolderSetupTest, FailedPostWithoutShareIdWaitsAndLogsEachAttempt) {
  service.forceInitialized(kConsole, "ann", "s3cr3t");
  service.m_nRetryCount = 2;
  replies = {FakeReply{1, "<error>busy</error>", 503, "HTTP 503"}};
  std::wstring message;
  EXPECT_EQ(0, service.ExecuteDRFolderSetUpWorkflow(
                   "/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true", "g-3",
                   false, folderGUID, folderPath, message, "", false));
  EXPECT_EQ(L"Failed to create DR backup folder.", message);
  EXPECT_EQ((std::vector<unsigned int>{120000, 120000}), sleeps.waits());
  EXPECT_EQ("old-guid", folderGUID);
  EXPECT_EQ("old-path", folderPath);

  const std::string log = env.logText();
  EXPECT_EQ(2u, CountOccurrences(
                    log,
                    "Error: Failed to execute DR folder setup workflow with workflow URL "
                    "[/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true] and "
                    "vestrum ID [g-3]. Error Message[HTTP 503]"));
  EXPECT_EQ(2u,
            CountOccurrences(log, "Error: Response from ZU Cloud Server: [<error>busy</error>]"));
  EXPECT_EQ(1u,
            CountOccurrences(log,
                             "Error: Failed to execute setup folder workflow in cloud for "
                             "Vestrum GUID [g-3]. Retrying after [120000] ms, retry count [1]"));
  EXPECT_EQ(1u,
            CountOccurrences(log,
                             "Error: Failed to execute setup folder workflow in cloud for "
                             "Vestrum GUID [g-3]. Retrying after [120000] ms, retry count [2]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to execute setup folder workflow in cloud for "
                                 "Vestrum GUID [g-3]. Total retry count [2]"));
  EXPECT_EQ(0, gatewaysLeft());
}

// An https console's empty upload URL is a missing one, not one that is
// "not https": the same back-to-back attempts as from any console.
TEST_F(FolderSetupTest, EmptyUploadUrlFromAnHttpsConsoleIsMissingNotRefused) {
  env.setGlobal("Cloud URL", "https://console.test/webconsole");
  cloud.setOtherHandler([this](const FakeRequest&) {
    ++setupRequests;
    return FakeReply{0,
                     "<R><shareID>s</shareID><folderPath>p</folderPath><folderGUID>g</folderGUID>"
                     "<uploadURL></uploadURL></R>",
                     200, ""};
  });
  EXPECT_EQ(0, runInit("s3cr3t", "g-4", false));
  EXPECT_EQ(30, setupRequests);
  EXPECT_EQ(0u, CountOccurrences(env.logText(), "is not https"));
}

TEST_F(FolderSetupTest, EmptyUploadUrlGivesThirtyBackToBackAttemptsThroughInit) {
  replies = {FakeReply{0,
                       "<R><shareID>s</shareID><folderPath>p</folderPath><folderGUID>g</folderGUID>"
                       "<uploadURL></uploadURL></R>",
                       200, ""}};
  EXPECT_EQ(0, runInit("s3cr3t", "g-4", false));
  EXPECT_EQ(0, service.m_bInitialized);
  EXPECT_EQ(0, service.m_bFolderReady);
  EXPECT_EQ(30u, setupPosts().size());
  EXPECT_TRUE(sleeps.waits().empty());
  // The values that did arrive were written as they were parsed.
  EXPECT_EQ("s", service.m_shareID);
  EXPECT_EQ("g", folderGUID);

  const std::string log = env.logText();
  for (int n = 1; n <= 30; ++n) {
    EXPECT_EQ(1u, CountOccurrences(log,
                                   "Error: Failed to execute setup folder workflow in cloud for "
                                   "Vestrum GUID [g-4]. Retrying immediately since called with "
                                   "Ignore retry wait, retry count [" +
                                       std::to_string(n) + "]"))
        << n;
  }
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to execute setup folder workflow in cloud for "
                                 "Vestrum GUID [g-4]. Total retry count [30]"));
  // No message was set by the attempts: the log line has none, and the
  // reason init gives names the log.
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to log in or set up the DR backup folder. Error "
                                 "Message []. VestrumGUID [g-4] "));
  EXPECT_EQ(
      L"Error: Failed to set up the DR backup folder. Please check ZUCloudService.log for "
      L"more details.",
      service.initErrorMessage());
}

TEST_F(FolderSetupTest, ValuesOneLevelTooDeepAreNotAccepted) {
  service.m_nRetryCount = 3;
  replies = {FakeReply{0, "<R><values>" + std::string(kGoodReply) + "</values></R>", 200, ""}};
  EXPECT_EQ(0, runInit("s3cr3t", "g-5", false));
  EXPECT_EQ(3u, setupPosts().size());
  EXPECT_EQ("", service.m_shareID);
  EXPECT_EQ("", service.m_uploadURL);
  EXPECT_EQ("old-guid", folderGUID);
}

TEST_F(FolderSetupTest, RepeatedElementOverwritesButStaysReceived) {
  replies = {FakeReply{0,
                       std::string("<R><shareID>first</shareID><uploadURL>http://u</uploadURL>"
                                   "<folderPath>p</folderPath><folderGUID>g</folderGUID>"
                                   "<shareID></shareID></R>"),
                       200, ""}};
  EXPECT_EQ(1, runInit("s3cr3t", "g-6", false));
  EXPECT_EQ("", service.m_shareID);
}

TEST_F(FolderSetupTest, MalformedAndRootlessRepliesFailTheAttempt) {
  service.m_nRetryCount = 2;
  replies = {FakeReply{0, "<R><shareID>s</shareID>", 200, ""}, FakeReply{0, "", 200, ""}};
  EXPECT_EQ(0, runInit("s3cr3t", "g-7", false));
  EXPECT_EQ(2u, setupPosts().size());
  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(
                    log,
                    "Error: Failed to parse ZU Cloud Folder setup workflow response : "
                    "[<R><shareID>s</shareID>] : URL "
                    "[/api/Workflow/Setup_DRBackup_ZUCloudV2/Action/Execute?outputonly=true] and "
                    "vestrum ID [g-7]. Error Message: Unknown error"));
  // The empty reply has no root element (or fails the parse): either way the
  // attempt fails with a log line naming the reply.
  const bool noRoot =
      CountOccurrences(log,
                       "Error: Failed to retrieve share ID or folder GUID or folder path. Server "
                       "responded with response []") == 1;
  const bool parseError =
      CountOccurrences(
          log, "Error: Failed to parse ZU Cloud Folder setup workflow response : [] :") == 1;
  EXPECT_TRUE(noRoot || parseError) << log;
  EXPECT_EQ(1u, CountOccurrences(log, "Total retry count [2]"));
}

TEST_F(FolderSetupTest, HostileRepliesAreRefusedWithoutReadingLocalFiles) {
  TempDir secretDir;
  const std::string secretPath = secretDir.file("secret.txt");
  WriteFile(secretPath, "TOPSECRET-7781");
  const std::string entity =
      "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY xxe SYSTEM \"file://" + secretPath +
      "\">]><R><shareID>&xxe;</shareID><folderPath>p</folderPath><folderGUID>g</folderGUID>"
      "<uploadURL>&xxe;</uploadURL></R>";
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY l0 \"lollollollollol\">";
  for (int i = 1; i <= 10; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  bomb +=
      "]><R><shareID>&l10;</shareID><folderPath>p</folderPath><folderGUID>g</folderGUID>"
      "<uploadURL>u</uploadURL></R>";

  service.m_nRetryCount = 1;
  replies = {FakeReply{0, entity, 200, ""}};
  EXPECT_EQ(0, runInit("s3cr3t", "g-8", false));
  replies = {FakeReply{0, bomb, 200, ""}};
  EXPECT_EQ(0, runInit("s3cr3t", "g-8", false));

  EXPECT_EQ(std::string::npos, service.m_shareID.find("TOPSECRET"));
  EXPECT_EQ(std::string::npos, service.m_uploadURL.find("TOPSECRET"));
  EXPECT_EQ(std::string::npos, service.m_shareID.find("lollol"));
  EXPECT_EQ(std::string::npos, env.logText().find("TOPSECRET-7781"));
  EXPECT_EQ(2u, CountOccurrences(env.logText(), "Total retry count [1]"));
}

TEST_F(FolderSetupTest, GuidWithMarkupCharactersGivesWellFormedXml) {
  ASSERT_EQ(1, runInit("s3cr3t", "a&b<c", false));
  ASSERT_EQ(1u, setupPosts().size());
  const std::string body = setupPosts()[0].body;
  EXPECT_EQ(DrBody("a&amp;b&lt;c", 1), body);
  const zu::xml::ParseResult parsed = zu::xml::ParseRootChildren(body);
  ASSERT_EQ(zu::xml::ParseStatus::kOk, parsed.status);
  EXPECT_EQ("Workflow_StartWorkflow", parsed.rootName);
  // The GUID is logged as given on failure lines; here it succeeded.
  EXPECT_EQ(1, service.m_bInitialized);
}

TEST_F(FolderSetupTest, RefusesWhenNotInitializedAndPassesLoginFailuresOn) {
  std::wstring message;
  EXPECT_EQ(0, service.ExecuteDRFolderSetUpWorkflow("/x", "g", false, folderGUID, folderPath,
                                                    message, "", true));
  EXPECT_EQ(
      L"Error: ZUCloudService not initialized, no user/password provided, call "
      L"ZUCloudService::init() first",
      message);
  EXPECT_EQ(0u, setupPosts().size());

  service.m_nRetryCount = 2;
  cloud.setLoginError("Invalid user name or password");
  EXPECT_EQ(0, runInit("wrong", "g-9", false));
  EXPECT_EQ(0u, setupPosts().size());
  EXPECT_EQ(1u, CountOccurrences(env.logText(),
                                 "Error: Failed to log in or set up the DR backup folder. Error "
                                 "Message [Error: The web "
                                 "console refused the login of user [ann]: Invalid user name or "
                                 "password]. VestrumGUID [g-9] "));
  EXPECT_TRUE(sleeps.waits().empty());  // init never waits
}

TEST_F(FolderSetupTest, NoGatewayForTheSetUpRequest) {
  service.m_nRetryCount = 3;
  // Let the login through, then refuse every later connection.
  gateways.journal().responder = [this](const FakeRequest&) {
    gateways.journal().connectResult = 1;  // called without the journal lock
    return FakeReply{0, "<CheckCredentialResp><sessionToken>t</sessionToken></CheckCredentialResp>",
                     200, ""};
  };
  service.forceInitialized(kConsole, "ann", "s3cr3t");
  std::wstring message;
  EXPECT_EQ(0, service.ExecuteDRFolderSetUpWorkflow("/p", "g", false, folderGUID, folderPath,
                                                    message, "", true));
  // Where the set-up went and why it got no connection.
  EXPECT_EQ(
      L"Error: Cannot connect to console.test port 80: the connection failed [Couldn't "
      L"connect to server].",
      message);
  EXPECT_EQ(4, gateways.journal().connectAttempts);  // login + 3 for the set-up
  EXPECT_EQ(0, gatewaysLeft());
}

}  // namespace
}  // namespace zutest
