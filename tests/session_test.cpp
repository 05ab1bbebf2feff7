// Gateway session and login of both services, against scripted gateways.
#include <gtest/gtest.h>

#include <string>

#include "platform/http/ZuInternetGateway.h"
#include "platform/text/Base64.h"
#include "platform/xml/CNMessage.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace {

const char kGoodLogin[] =
    "<CheckCredentialResp><sessionToken>tok-7f3a9c2e51</sessionToken></CheckCredentialResp>";

class Session : public ::testing::Test {
 protected:
  void settings(const std::string& text) { zutest::WriteFile(config_, text); }
  std::string log() const { return zutest::ReadFile(dir_.file("ZUCloudService.log")); }

  zutest::TempDir dir_;
  std::string config_ = dir_.file("zucloud.conf");
  zutest::ScopedEnv configEnv_{"ZUCLOUD_CONFIG", config_};
  zutest::ScopedEnv logDir_{"ZUCLOUD_LOG_DIR", dir_.path()};
  zutest::ScopedEnv logLevel_{"ZUCLOUD_LOG_LEVEL", std::string("9")};
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
};

TEST_F(Session, LoginBeforeInitSendsNothing) {
  zutest::FolderServiceAccess folder;
  std::wstring error;
  std::string token = "stale";
  EXPECT_EQ(folder.DoLogin(error, token, false), 0);
  EXPECT_EQ(error,
            L"Error: ZUCloudService not initialized, no user/password provided, call "
            L"ZUCloudService::init() first");
  EXPECT_TRUE(token.empty());

  zutest::BlobServiceAccess blob;
  EXPECT_EQ(blob.DoLogin(error, token, false), 0);
  EXPECT_EQ(error,
            L"Error: ZUCloudAzureService not initialized, no user/password provided, call "
            L"ZUCloudAzureService::init() first");
  EXPECT_EQ(blob.isValidAccount(error), 0);
  EXPECT_EQ(fakes_.journal().gatewaysCreated, 0);
  EXPECT_TRUE(fakes_.journal().requests.empty());
}

TEST_F(Session, SuccessfulLoginSendsTheCredentialCheck) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  folder.m_loginExtra = "extra&more";
  fakes_.journal().fallback = {0, kGoodLogin, 200, ""};
  std::wstring error;
  std::string token;
  ASSERT_EQ(folder.DoLogin(error, token, false), 1);
  EXPECT_EQ(token, "tok-7f3a9c2e51");

  auto& j = fakes_.journal();
  ASSERT_EQ(j.requests.size(), 1u);
  const auto& request = j.requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "http://cloud.test/webconsole/api/Login");
  ASSERT_EQ(request.headers.size(), 2u);
  EXPECT_EQ(request.headers.front().name, "Accept");
  EXPECT_EQ(request.headers.front().value, "application/xml");
  EXPECT_EQ(request.headers.back().name, "Content-type");
  EXPECT_EQ(request.headers.back().value, "application/xml");
  CNMessageBase sent(zu::msg::kCheckCredentialReq.type, zu::msg::kCheckCredentialReq.id);
  ASSERT_EQ(sent.unserialize(request.body.c_str()), 0) << request.body;
  using namespace zu::msg;
  EXPECT_EQ(sent.getstring(kReqUserName.number, kReqUserName.tag, kCheckCredentialReq.key,
                           kReqUserName.key),
            "ann");
  EXPECT_EQ(sent.getstring(kReqPassword.number, kReqPassword.tag, kCheckCredentialReq.key,
                           kReqPassword.key),
            "czNjcjN0");
  EXPECT_EQ(sent.getstring(kReqExtraCredential.number, kReqExtraCredential.tag,
                           kCheckCredentialReq.key, kReqExtraCredential.key),
            "extra&more");
  // The folder service hands the URL credentials to its gateway; one gateway,
  // connected once, closed and deleted.
  EXPECT_EQ(j.gatewaysCreated, 1);
  EXPECT_EQ(j.deleted, 1);
  EXPECT_EQ(j.disconnects, 1);
  EXPECT_EQ(j.calls[0], "initialize 3 0");
  EXPECT_EQ(j.calls[1], "setURL http://cloud.test/webconsole/api/Login");
  EXPECT_EQ(j.calls[2], "setURLUserName ann");
  EXPECT_EQ(j.calls[3], "setURLPassword czNjcjN0");
  EXPECT_TRUE(j.setSecuredCalls.empty()) << "http never calls setSecured";
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(Session, EmptyReplyFailsEveryAttemptWithFixedWaits) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().fallback = {0, "", 200, ""};
  std::wstring error;
  std::string token;
  EXPECT_EQ(folder.DoLogin(error, token, false), 0);
  EXPECT_EQ(error, L"Error: Failed to login to cloud. Response doesn't contain WSDK.");
  EXPECT_EQ(fakes_.journal().requests.size(), 30u);
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned>(30, 120000u));
  const std::string text = log();
  EXPECT_EQ(
      zutest::CountOccurrences(text, "Error: webServer handler responded with error response []"),
      30u);
  EXPECT_NE(
      text.find("Error: Failed to login to cloud. Retrying after [120000] ms, retry count [30]"),
      std::string::npos);
  EXPECT_NE(text.find("Error: Failed to login to cloud. Total retry count [30]."),
            std::string::npos);
}

TEST_F(Session, IgnoreRetryWaitAndAccountCheckNeverWait) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().fallback = {0, "", 200, ""};
  std::wstring error;
  std::string token;
  EXPECT_EQ(folder.DoLogin(error, token, true), 0);
  EXPECT_EQ(fakes_.journal().requests.size(), 30u);
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_EQ(zutest::CountOccurrences(
                log(),
                "Error: Failed to login to cloud. Retrying immediately since called with "
                "Ignore retry wait, retry count ["),
            30u);

  EXPECT_EQ(folder.isValidAccount(error), 0);
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_NE(log().find("Error: Failed to login to cloud: Internet Gateway (Lib curl wrapper) "
                       "initialization failed with error [Error: Failed to login to cloud. "
                       "Response doesn't contain WSDK.]"),
            std::string::npos);
}

TEST_F(Session, ReplyFailuresMapToTheirMessages) {
  zutest::BlobServiceAccess blob;
  blob.m_nRetryCount = 1;
  blob.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  std::wstring error;
  std::string token;

  fakes_.journal().script = {{7, "", 0, "Couldn't connect"}};
  EXPECT_EQ(blob.DoLogin(error, token, true), 0);
  EXPECT_EQ(error,
            L"Error: Failed to login to cloud. Please check ZUCloudService.log for more details.");
  EXPECT_NE(log().find("Error: Failed to login to cloud. Error Message [Couldn't connect]"),
            std::string::npos);

  fakes_.journal().script = {{0, "<CheckCredentialResp><broken", 200, ""}};
  EXPECT_EQ(blob.DoLogin(error, token, true), 0);
  EXPECT_EQ(error, L"Error: Failed to login to cloud. Couldn't deserialize response");
  EXPECT_NE(log().find("Error: Unserialization failed for string [<CheckCredentialResp><broken]"),
            std::string::npos);

  fakes_.journal().script = {
      {0,
       "<CheckCredentialResp><errors><Error><errorText>Invalid user name or password — ü"
       "</errorText></Error></errors><sessionToken></sessionToken></CheckCredentialResp>",
       200, ""}};
  EXPECT_EQ(blob.DoLogin(error, token, true), 0);
  EXPECT_EQ(error,
            L"Error: The web console refused the login of user [ann]: Invalid user name or "
            L"password \u2014 \u00fc");
  EXPECT_NE(log().find("Error: webServer handler responded with error response [Invalid user "
                       "name or password — ü]"),
            std::string::npos);

  // The blob service uses no HTTP authentication and made one connect and one
  // login attempt per call.
  EXPECT_EQ(fakes_.journal().connectAttempts, 3);
  EXPECT_EQ(fakes_.journal().requests.size(), 3u);
  for (const auto& call : fakes_.journal().calls) {
    EXPECT_EQ(call.find("setURLPassword"), std::string::npos);
  }
}

// An error entry refuses the credentials: the login ends after that one
// request, without a wait; the next login is a request of its own.
TEST_F(Session, ErrorEntryEndsTheLoginAndEmptyTokenSuccess) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().script = {
      {0,
       "<CheckCredentialResp><errors><Error><errorText>busy</errorText></Error></errors>"
       "</CheckCredentialResp>",
       200, ""},
      {0, "<CheckCredentialResp></CheckCredentialResp>", 200, ""}};
  std::wstring error;
  std::string token = "old";
  EXPECT_EQ(folder.DoLogin(error, token, false), 0);
  EXPECT_EQ(error, L"Error: The web console refused the login of user [ann]: busy");
  EXPECT_EQ(fakes_.journal().requests.size(), 1u);
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_EQ(folder.DoLogin(error, token, false), 1);
  EXPECT_TRUE(token.empty()) << "no error list and no token is a success with an empty token";
  EXPECT_EQ(fakes_.journal().requests.size(), 2u);
  EXPECT_TRUE(sleeps_.waits().empty());
}

TEST_F(Session, RefusedConnectionTriesRetryCountTimesWithoutWaiting) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().connectResult = 7;
  std::wstring error;
  std::string token;
  EXPECT_EQ(folder.DoLogin(error, token, false), 0);
  EXPECT_EQ(error,
            L"Error: Cannot connect to cloud.test port 80: the connection failed [Couldn't "
            L"connect to server].");
  EXPECT_EQ(fakes_.journal().connectAttempts, 30);
  EXPECT_EQ(fakes_.journal().deleted, 30);
  EXPECT_TRUE(fakes_.journal().requests.empty());
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_EQ(zutest::CountOccurrences(
                log(), "Error: Connection failed with error [Couldn't connect to server]"),
            30u);

  zutest::BlobServiceAccess blob;
  blob.m_nRetryCount = 1;
  blob.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  EXPECT_EQ(blob.DoLogin(error, token, false), 0);
  EXPECT_EQ(fakes_.journal().connectAttempts, 31) << "one connect attempt for a limit of 1";
}

TEST_F(Session, InitializeFailureEndsAtOnce) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().initializeResult = 3;
  EXPECT_EQ(folder.initZuInternetGateway("http://cloud.test/x"), nullptr);
  EXPECT_EQ(fakes_.journal().gatewaysCreated, 1);
  EXPECT_EQ(fakes_.journal().deleted, 1);
  EXPECT_NE(log().find("Error: Failed to initialize Gateway wrapper with error [3:"),
            std::string::npos);
}

TEST_F(Session, CertificateChecksFollowTheReportsSetting) {
  settings("[Reports]\nnWebReportsIgnoreCertificateErrors = 1\n");
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("https://cloud.test/webconsole", "ann", "s3cr3t");
  LIBCURL::ZuInternetGateway* gateway = folder.initZuInternetGateway("https://cloud.test/a");
  ASSERT_NE(gateway, nullptr);
  folder.closeZuInternetGateway(gateway);
  delete gateway;
  EXPECT_EQ(fakes_.journal().setSecuredCalls, std::vector<bool>{false});

  settings("[Reports]\nnWebReportsIgnoreCertificateErrors = 0\n");
  gateway = folder.initZuInternetGateway("https://cloud.test/a");
  folder.closeZuInternetGateway(gateway);
  delete gateway;
  EXPECT_EQ(fakes_.journal().setSecuredCalls, (std::vector<bool>{false, true}));
  folder.closeZuInternetGateway(nullptr);  // allowed, does nothing
}

TEST_F(Session, KeepAliveIsRequestedAndItsRefusalOnlyLogged) {
  settings(
      "[UpdateFlags]\nnEnableTCPKeepAlive = 1\nnKeepIdleSeconds = 9\nnKeepIntervalSeconds = 4\n");
  zutest::BlobServiceAccess blob;
  blob.forceInitialized("http://cloud.test/webconsole", "ann", "s3cr3t");
  fakes_.journal().keepAliveResult = 5;
  LIBCURL::ZuInternetGateway* gateway = blob.initZuInternetGateway("http://cloud.test/a");
  ASSERT_NE(gateway, nullptr) << "a refused keep-alive does not stop the set-up";
  blob.closeZuInternetGateway(gateway);
  delete gateway;
  const auto& calls = fakes_.journal().calls;
  EXPECT_NE(std::find(calls.begin(), calls.end(), "setKeepAlive 1 9 4"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "setHTTPAuthentication 0"), calls.end());
  const std::string text = log();
  EXPECT_NE(text.find("TCP Keep Alive is enabled, idle seconds [9], interval seconds [4]"),
            std::string::npos);
  EXPECT_NE(text.find("Error: Could not change TCP keep alive settings with error [5], continuing"),
            std::string::npos);
}

TEST_F(Session, SecretsNeverReachTheLog) {
  zutest::FolderServiceAccess folder;
  folder.forceInitialized("http://cloud.test/webconsole", "ann", "Pa55-word!x");
  // The server echoes the token and the Base64 password in failing replies.
  const std::string echoed = std::string("oops tok-7f3a9c2e51 ") + folder.m_password;
  fakes_.journal().script = {{0, kGoodLogin, 200, ""}, {0, echoed, 200, ""}, {0, echoed, 200, ""}};
  std::wstring error;
  std::string token;
  ASSERT_EQ(folder.DoLogin(error, token, true), 1);
  folder.m_nRetryCount = 2;
  EXPECT_EQ(folder.DoLogin(error, token, true), 0);
  const std::string text = log();
  EXPECT_NE(text.find("oops"), std::string::npos) << "the reply was logged";
  EXPECT_EQ(text.find("tok-7f3a9c2e51"), std::string::npos);
  EXPECT_EQ(text.find(folder.m_password), std::string::npos);
  EXPECT_EQ(text.find("Pa55-word!x"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(Session, CredentialsThatXmlCannotCarryAreRefusedBeforeAnyRequest) {
  fakes_.journal().fallback = {0, kGoodLogin, 200, ""};
  // Either field can hold the character; the message names both.
  for (const bool badExtra : {false, true}) {
    zutest::FolderServiceAccess folder;
    folder.forceInitialized("http://cloud.test/webconsole",
                            badExtra ? "ann" : std::string("ann\x01", 4), "s3cr3t");
    if (badExtra) folder.m_loginExtra = std::string("x\x02", 2);
    std::wstring error;
    std::string token;
    EXPECT_EQ(folder.DoLogin(error, token, false), 0);
    EXPECT_EQ(error,
              L"Error: Failed to login to cloud. The user name or the third credential holds "
              L"characters that cannot be sent.");
  }
  EXPECT_TRUE(fakes_.journal().requests.empty()) << "no empty or malformed body was posted";
  EXPECT_TRUE(sleeps_.waits().empty());
}

}  // namespace
