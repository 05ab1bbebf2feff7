// ZUCloudService::CreateFolder and CreateDRFolder against fake gateways:
// request, parent path joining, reply handling, attempts, waits and lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text/FXString.h"
#include "platform/xml/CNMessage.h"
#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/FolderFakeCloud.h"
#include "support/FolderFakeTest.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

const char* const kConsole = "http://console.test/webconsole";
const char* const kCreateUrl =
    "http://console.test/webconsole/api/drive/share/sh-1/action/createfolder";
const char* const kNotInitialized =
    "Error: ZUCloudService not initialized, no user/password provided, call "
    "ZUCloudService::init() first";

FakeReply Created(const std::string& guid, const std::string& detail) {
  return FakeReply{0,
                   "<FileResourceResponse><resource><folderGUID>" + guid +
                       "</folderGUID><folderDetail>" + detail +
                       "</folderDetail></resource></FileResourceResponse>",
                   200, ""};
}

// The (name, parent path) a create-folder body carries.
std::pair<std::string, std::string> ReadBody(const std::string& body) {
  using namespace zu::msg;
  CNMessageBase message(kFileResourceInfo.type, kFileResourceInfo.id);
  EXPECT_EQ(0, message.unserialize(body.c_str())) << body;
  return {message.getstring(kResName.number, kResName.tag, kFileResourceInfo.key, kResName.key),
          message.getstring(kResParentPath.number, kResParentPath.tag, kFileResourceInfo.key,
                            kResParentPath.key)};
}

class FolderCreateTest : public FolderFakeTest {
 protected:
  FolderCreateTest() {
    env.setGlobal("Cloud URL", kConsole);
    cloud.setOtherHandler([this](const FakeRequest& request) {
      if (request.url.find("/api/Workflow/") != std::string::npos) {
        return FakeReply{0,
                         "<R><shareID>sh-1</shareID><folderPath>\\DR</folderPath><folderGUID>f"
                         "</folderGUID><uploadURL>http://u</uploadURL></R>",
                         200, ""};
      }
      creates.push_back(request);
      if (request.url != kCreateUrl) return FakeReply{1, "wrong url", 404, "HTTP 404"};
      if (replies.empty()) return Created("new-guid", "detail-1");
      FakeReply reply = replies.front();
      if (replies.size() > 1) replies.erase(replies.begin());
      return reply;
    });
  }

  void ready() {
    service.forceInitialized(kConsole, "ann", "s3cr3t");
    service.m_bFolderReady = 1;
    service.m_shareID = "sh-1";
    service.m_folderPath = "\\ZU\\DR Backup";
  }

  std::vector<FakeReply> replies;
  std::vector<FakeRequest> creates;
  std::string guid = "untouched";
  std::string detail = "untouched";
  std::wstring message;
};

TEST_F(FolderCreateTest, CreatesTheFolderDirectlyUnderTheDrFolder) {
  ready();
  ASSERT_EQ(1, service.CreateDRFolder("vestrum-1", "", "Job 42", guid, detail, message));
  EXPECT_EQ("new-guid", guid);
  EXPECT_EQ("detail-1", detail);
  ASSERT_EQ(1u, creates.size());
  EXPECT_EQ(kCreateUrl, creates[0].url);
  EXPECT_EQ((std::vector<std::string>{"Accept", "Authtoken", "Content-type"}),
            HeaderNames(creates[0].headers));
  EXPECT_EQ("application/xml", HeaderValue(creates[0].headers, "Accept"));
  EXPECT_EQ("application/xml", HeaderValue(creates[0].headers, "Content-type"));
  EXPECT_EQ(cloud.tokens().back(), HeaderValue(creates[0].headers, "Authtoken"));
  EXPECT_EQ(std::make_pair(std::string("Job 42"), std::string("\\ZU\\DR Backup")),
            ReadBody(creates[0].body));
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderCreateTest, ShareIdIsOneEncodedPathSegment) {
  ready();
  service.m_shareID = "sh 1%";
  EXPECT_EQ(0, service.CreateDRFolder("v", "", "Full", guid, detail, message));
  ASSERT_FALSE(creates.empty());
  EXPECT_EQ("http://console.test/webconsole/api/drive/share/sh%201%25/action/createfolder",
            creates[0].url);
}

TEST_F(FolderCreateTest, SubFolderIsJoinedWithExactlyOneBackslash) {
  ready();
  ASSERT_EQ(1, service.CreateDRFolder("v", "Set 3", "Full", guid, detail, message));
  service.m_folderPath = "\\ZU\\DR Backup\\";  // already ends in a backslash
  ASSERT_EQ(1, service.CreateDRFolder("v", "Set 3", "Incr", guid, detail, message));
  service.m_folderPath = "\\ZU";
  ASSERT_EQ(1, service.CreateDRFolder("v", "a & b\\ünï", "x", guid, detail, message));
  ASSERT_EQ(3u, creates.size());
  EXPECT_EQ("\\ZU\\DR Backup\\Set 3", ReadBody(creates[0].body).second);
  EXPECT_EQ("\\ZU\\DR Backup\\\\Set 3", ReadBody(creates[1].body).second);
  EXPECT_EQ("\\ZU\\a & b\\ünï", ReadBody(creates[2].body).second);
  EXPECT_EQ("Incr", ReadBody(creates[1].body).first);
}

TEST_F(FolderCreateTest, NamesXmlCannotCarryAreRefusedBeforeAnyRequest) {
  ready();
  // Either the name or the parent path can hold the character; the message
  // names both.
  EXPECT_EQ(0, service.CreateDRFolder("v", "", std::string("bad\x02name"), guid, detail, message));
  EXPECT_EQ(
      L"Error: Failed to create folder in cloud. The folder name or parent path holds "
      L"characters that cannot be sent.",
      message);
  message.clear();
  EXPECT_EQ(0,
            service.CreateDRFolder("v", std::string("sub\x01dir"), "name", guid, detail, message));
  EXPECT_EQ(
      L"Error: Failed to create folder in cloud. The folder name or parent path holds "
      L"characters that cannot be sent.",
      message);
  EXPECT_TRUE(creates.empty()) << "no empty or malformed body was posted";
  EXPECT_EQ("untouched", guid);
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderCreateTest, ArgumentAndStateChecksComeFirst) {
  EXPECT_EQ(0, service.CreateDRFolder("v", "", "n", guid, detail, message));
  EXPECT_EQ(
      L"Error: ZUCloudService not initialized, no user/password/VestrumGUID provided, call "
      L"ZUCloudService::init() first",
      message);
  ready();
  EXPECT_EQ(0, service.CreateDRFolder("", "", "n", guid, detail, message));
  EXPECT_EQ(L"Error: Vestrum ID and folder name cannot be empty", message);
  message.clear();
  EXPECT_EQ(0, service.CreateDRFolder("v", "sub", "", guid, detail, message));
  EXPECT_EQ(L"Error: Vestrum ID and folder name cannot be empty", message);
  EXPECT_TRUE(creates.empty());
  EXPECT_EQ(0, cloud.logins());
  EXPECT_EQ(std::string::npos, env.logText().find("CreateDRFolder"));
  EXPECT_EQ("untouched", guid);

  FolderServiceAccess fresh;
  EXPECT_EQ(0, fresh.CreateFolder("p", "n", guid, detail, message));
  EXPECT_EQ(FXString::ToWstring(kNotInitialized), message);
}

TEST_F(FolderCreateTest, SuccessfulInitThenRejectedInitStillPassesCreateDrFolderCheck) {
  std::string folderGUID;
  std::string folderPath;
  ASSERT_EQ(1, service.init("ann", "s3cr3t", "f", "v-1", folderGUID, folderPath, "", false));
  ASSERT_EQ(0, service.init("ann", "", "f", "v-1", folderGUID, folderPath, "", false));
  EXPECT_EQ(0, service.m_bInitialized);
  EXPECT_EQ(1, service.m_bFolderReady);
  EXPECT_EQ(0, service.CreateDRFolder("v-1", "", "n", guid, detail, message));
  EXPECT_EQ(FXString::ToWstring(kNotInitialized), message);
  EXPECT_TRUE(creates.empty());
  EXPECT_EQ(1u, CountOccurrences(env.logText(),
                                 std::string("Error: Failed to create DR backup folder. Error "
                                             "Message [") +
                                     kNotInitialized + "]"));
}

TEST_F(FolderCreateTest, FailedPostWhoseReplyMentionsGuidIsReadAndCanSucceed) {
  ready();
  FakeReply reply = Created("g-500", "d");
  reply.result = 1;
  reply.status = 500;
  reply.errorText = "HTTP 500";
  replies = {reply};
  EXPECT_EQ(1, service.CreateFolder("\\p", "n", guid, detail, message));
  EXPECT_EQ("g-500", guid);
  EXPECT_EQ(1u, creates.size());
}

TEST_F(FolderCreateTest, EachKindOfFailedAttemptHasItsMessageAndLine) {
  ready();
  service.m_nRetryCount = 5;
  replies = {FakeReply{1, "busy", 503, "HTTP 503"}, FakeReply{0, "GUID but no XML", 200, ""},
             FakeReply{0,
                       "<FileResourceResponse><resource><folderGUID></folderGUID></resource>"
                       "<status><errorText>Folder already exists</errorText></status>"
                       "</FileResourceResponse>",
                       200, ""},
             FakeReply{0, "", 200, ""}, Created("late-guid", "late-detail")};
  std::vector<std::wstring> messages;
  EXPECT_EQ(1, service.CreateFolder("\\p", "n 1", guid, detail, message));
  EXPECT_EQ("late-guid", guid);
  EXPECT_EQ("late-detail", detail);
  EXPECT_EQ(5u, creates.size());
  // The last failure's message stays although the last attempt succeeded.
  EXPECT_EQ(L"Error: Failed to create folder in cloud", message);
  EXPECT_EQ((std::vector<unsigned int>(4, 120000)), sleeps.waits());

  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(
                    log, "Error: Failed to create DR backup folder. Error Message[HTTP 503]"));
  EXPECT_EQ(1u, CountOccurrences(log, "Error: Failed to serialize response XML. Error Message ["));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to create folder in Cloud. Error Message [Folder "
                                 "already exists]"));
  EXPECT_EQ(1u, CountOccurrences(log, "Error: webServer handler responded with error response []"));
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(1u, CountOccurrences(log,
                                   "Error: Failed to create folder in cloud. Folder name: [n 1], "
                                   "Parent Path: [\\p]. Retrying after [120000] ms, retry count [" +
                                       std::to_string(n) + "]"));
  }
  EXPECT_EQ(0u, CountOccurrences(log, "Total retry count"));
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderCreateTest, MessagesOfSingleFailures) {
  ready();
  service.m_nRetryCount = 1;
  const std::vector<std::pair<FakeReply, std::wstring>> cases = {
      {FakeReply{1, "busy", 503, "HTTP 503"}, L"Error: Failed to create DR backup folder."},
      {FakeReply{0, "<x>GUID</x>", 200, ""}, L"Error: Failed to serialize response XML."},
      {FakeReply{0,
                 "<FileResourceResponse><resource><folderGUID></folderGUID></resource>"
                 "</FileResourceResponse>",
                 200, ""},
       L"Error: Failed to create folder in Cloud."},
      {FakeReply{0, "<ok/>", 200, ""}, L"Error: Failed to create folder in cloud"}};
  for (const auto& c : cases) {
    replies = {c.first};
    message.clear();
    EXPECT_EQ(0, service.CreateDRFolder("v", "", "n", guid, detail, message));
    EXPECT_EQ(c.second, message);
  }
  EXPECT_EQ("untouched", guid);
  const std::string log = env.logText();
  EXPECT_EQ(4u, CountOccurrences(log,
                                 "Error: Failed to create folder in cloud. Folder name: [n], "
                                 "Parent Path: [\\ZU\\DR Backup]. Retrying after [120000] ms, "
                                 "retry count [1]"));
  EXPECT_EQ(4u, CountOccurrences(log,
                                 "Error: Failed to create folder in cloud. Folder name: [n], "
                                 "Parent Path: [\\ZU\\DR Backup]. Total retry count [1]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to create DR backup folder. Error Message [Error: "
                                 "Failed to create folder in cloud]"));
}

TEST_F(FolderCreateTest, AllThirtyAttemptsWaitAndEndWithTheTotalLine) {
  ready();
  replies = {FakeReply{0, "", 200, ""}};
  EXPECT_EQ(0, service.CreateFolder("\\p", "n", guid, detail, message));
  EXPECT_EQ(30u, creates.size());
  EXPECT_EQ((std::vector<unsigned int>(30, 120000)), sleeps.waits());
  EXPECT_EQ(1u, CountOccurrences(env.logText(),
                                 "Error: Failed to create folder in cloud. Folder name: [n], "
                                 "Parent Path: [\\p]. Total retry count [30]"));
  EXPECT_EQ(1, cloud.logins());
  EXPECT_EQ(0, gatewaysLeft());
}

}  // namespace
}  // namespace zutest
