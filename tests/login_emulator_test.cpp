// Login and account check of both services over real HTTP and HTTPS
// against the cloud emulator.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "platform/text/FXString.h"
#include "support/Emulator.h"
#include "support/EmulatorSuite.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"
#include "support/TestProxy.h"

namespace zutest {
namespace {

class LoginOverHttp : public EmulatorSuite<LoginOverHttp> {
 protected:
  void SetUp() override { emulator->reset(); }

  ServiceEnv env;
};

TEST_F(LoginOverHttp, ValidAccountGetsATokenThatTheConsoleAccepts) {
  FolderServiceAccess folder;
  folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
  std::wstring error;
  std::string token;
  ASSERT_EQ(folder.DoLogin(error, token, false), 1) << env.logText();
  EXPECT_EQ(token.size(), 32u);
  EXPECT_EQ(folder.isValidAccount(error), 1);

  const auto logins = emulator->journal("login");
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0]["path"], "/webconsole/api/Login");
  const std::string log = env.logText();
  EXPECT_NE(log.find("Internet Gateway (Lib curl wrapper) initialized successfully"),
            std::string::npos);
  EXPECT_EQ(log.find(token), std::string::npos);
}

// A refused password is sent once, whatever the retry count: sent again it
// could lock the account. The console's text reaches the caller.
TEST_F(LoginOverHttp, WrongPasswordCostsOneLoginWithTheServersText) {
  const std::wstring refused =
      L"Error: The web console refused the login of user [ann]: Invalid user name or password";
  const auto expectOneRefusedLogin = [&](const char* how, int result, const std::wstring& error,
                                         const std::vector<unsigned>& waits) {
    SCOPED_TRACE(how);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, refused);
    EXPECT_EQ(emulator->journal("login").size(), 1u);
    EXPECT_TRUE(waits.empty());
    const std::string log = env.logText();
    EXPECT_NE(log.find("[Invalid user name or password]; the credentials were refused, so the "
                       "login is not tried again"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Retrying"), std::string::npos) << log;
    EXPECT_EQ(log.find("wrong-pass"), std::string::npos);
    EXPECT_EQ(log.find("d3JvbmctcGFzcw"), std::string::npos) << "the Base64 password";
    EXPECT_EQ(emulator->journal().size(), 1u) << "nothing after the refused login";
  };
  {
    BlobServiceAccess blob;
    ASSERT_EQ(blob.m_nRetryCount, 30);
    blob.forceInitialized(emulator->consoleUrl(), "ann", "wrong-pass");
    std::wstring error;
    std::string token;
    ScopedSleepRecorder sleeps;
    const int result = blob.DoLogin(error, token, false);
    EXPECT_TRUE(token.empty());
    expectOneRefusedLogin("blob DoLogin", result, error, sleeps.waits());
  }
  {
    emulator->reset();
    FolderServiceAccess folder;
    folder.forceInitialized(emulator->consoleUrl(), "ann", "wrong-pass");
    std::wstring error;
    std::string token;
    ScopedSleepRecorder sleeps;
    const int result = folder.DoLogin(error, token, false);
    expectOneRefusedLogin("folder DoLogin", result, error, sleeps.waits());
  }
  {
    resetEmulator(env);
    ScopedSleepRecorder sleeps;
    BlobServiceAccess blob;
    std::wstring error;
    const int result =
        blob.init("ann", "wrong-pass", "focus", "guid-1", 1, 7, "set-1", 0, 7, error, "");
    expectOneRefusedLogin("blob init", result, error, sleeps.waits());
  }
  {
    resetEmulator(env);
    ScopedSleepRecorder sleeps;
    FolderServiceAccess folder;
    std::string folderGUID;
    std::string folderPath;
    const int result =
        folder.init("ann", "wrong-pass", "focus", "guid-1", folderGUID, folderPath, "", false);
    // The folder init has no message argument: initErrorMessage() and its
    // log line carry the console's text.
    EXPECT_NE(env.logText().find(FXString::ToString(refused)), std::string::npos);
    EXPECT_EQ(folder.initErrorMessage(), refused);
    // Each init named the console it logged in to and where that came from.
    EXPECT_EQ(zutest::CountOccurrences(env.logText(), "[init] Web console URL [" +
                                                          emulator->consoleUrl() +
                                                          "] from setting \"Cloud URL\" of "),
              2u)
        << env.logText();
    expectOneRefusedLogin("folder init", result, refused, sleeps.waits());
  }
}

TEST_F(LoginOverHttp, EmptyReplyIsRetriedThirtyTimes) {
  emulator->config({{"login_reply", ""}});
  FolderServiceAccess folder;
  folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
  std::wstring error;
  std::string token;
  {
    ScopedSleepRecorder sleeps;
    EXPECT_EQ(folder.DoLogin(error, token, false), 0);
    EXPECT_EQ(sleeps.waits(), std::vector<unsigned>(30, 120000u));
  }
  EXPECT_EQ(error, L"Error: Failed to login to cloud. Response doesn't contain WSDK.");
  EXPECT_EQ(emulator->journal("login").size(), 30u);
  // One gateway serves every attempt: a single connection carried them.
  std::set<long long> connections;
  for (const auto& entry : emulator->journal("login")) {
    connections.insert(entry["connection"].get<long long>());
  }
  EXPECT_EQ(connections.size(), 1u);
}

TEST_F(LoginOverHttp, ServerErrorsAndResetsAreRetried) {
  emulator->fault("login", {{"fault", "status"}, {"status", 500}, {"count", 1}});
  emulator->fault("login", {{"fault", "garbage"}, {"count", 1}});
  FolderServiceAccess folder;
  folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
  std::wstring error;
  std::string token;
  ScopedSleepRecorder sleeps;
  ASSERT_EQ(folder.DoLogin(error, token, true), 1) << env.logText();
  EXPECT_EQ(token.size(), 32u);
  EXPECT_TRUE(sleeps.waits().empty());
  const std::string log = env.logText();
  EXPECT_NE(log.find("Error: Failed to login to cloud. Error Message [HTTP status 500"),
            std::string::npos);
  EXPECT_NE(log.find("Retrying immediately since called with Ignore retry wait, retry count [2]"),
            std::string::npos);
}

TEST_F(LoginOverHttp, ReplyWithoutErrorsAndTokenIsASuccess) {
  emulator->config({{"login_reply", "<CheckCredentialResp></CheckCredentialResp>"}});
  FolderServiceAccess folder;
  folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
  std::wstring error;
  std::string token = "x";
  EXPECT_EQ(folder.DoLogin(error, token, false), 1);
  EXPECT_TRUE(token.empty());
}

TEST_F(LoginOverHttp, RefusedPortGivesUpAfterRetryCountConnects) {
  FolderServiceAccess folder;
  const std::string port = std::to_string(UnusedLoopbackPort());
  folder.forceInitialized("http://127.0.0.1:" + port + "/webconsole", "ann", "s3cr3t");
  std::wstring error;
  std::string token;
  ScopedSleepRecorder sleeps;
  EXPECT_EQ(folder.DoLogin(error, token, false), 0);
  EXPECT_EQ(FXString::ToString(error).rfind(
                "Error: Cannot connect to 127.0.0.1 port " + port +
                    ": the connection was refused: nothing listens on that port [curl error 7: ",
                0),
            0u)
      << FXString::ToString(error);
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(CountOccurrences(env.logText(), "Error: Connection failed with error [curl error 7"),
            30u);
}

// A login reply whose token holds CR LF (to add a header, or to smuggle a
// whole second request carrying a body) is refused: the token never goes
// out, and the console receives nothing beyond the login attempts.
TEST_F(LoginOverHttp, ATokenThatCouldSplitRequestsIsRefused) {
  const std::vector<std::string> tokens = {
      "tok&#13;&#10;X-Injected: evil",
      "tok&#13;&#10;Content-Length: 0&#13;&#10;&#13;&#10;POST /webconsole/api/Login "
      "HTTP/1.1&#13;&#10;Host: x&#13;&#10;X-Injected: smuggled&#13;&#10;Content-Length: "
      "5&#13;&#10;&#13;&#10;chunk",
      "tok&#9;tab",
  };
  for (const std::string& token : tokens) {
    emulator->reset();
    emulator->config({{"login_reply", "<CheckCredentialResp><sessionToken>" + token +
                                          "</sessionToken></CheckCredentialResp>"}});
    FolderServiceAccess folder;
    folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
    folder.m_nRetryCount = 2;
    std::wstring error;
    std::string sessionToken = "stale";
    EXPECT_EQ(folder.DoLogin(error, sessionToken, true), 0) << token;
    EXPECT_TRUE(sessionToken.empty());
    EXPECT_EQ(error,
              L"Error: Failed to login to cloud. The session token in the reply holds "
              L"characters that cannot be sent.");
    // An operation that would send the token as its Authtoken header.
    std::string guid;
    std::string detail;
    EXPECT_EQ(folder.CreateFolder("\\ZU", "f", guid, detail, error), 0);

    const auto journal = emulator->journal();
    EXPECT_EQ(journal.size(), 4u) << journal.dump();  // two logins per DoLogin
    for (const auto& entry : journal) {
      EXPECT_EQ(entry["kind"], "login") << entry.dump();
      for (const auto& header : entry["headers"]) {
        EXPECT_NE(header[0], "X-Injected") << entry.dump();
      }
    }
    EXPECT_EQ(env.logText().find("evil"), std::string::npos);
  }
}

// A whole folder upload through the proxy of the settings, which wins over
// the environment's (a dead one): forwarded over http, tunnelled over https.
void UploadThroughTheProxy(Emulator& emulator, const std::string& caFile, const char* counter) {
  TestProxy proxy;
  ServiceEnv env(caFile);
  env.setGlobal("Cloud URL", emulator.consoleUrl());
  env.setGlobal("ZUCloudProxyURL", proxy.url("ann:proxy-pass@"));
  env.write();
  TempDir files;
  WriteFile(files.file("p.bin"), "through the proxy");
  {
    // The emulator's own control client would take the dead proxy too.
    const std::string dead = "http://127.0.0.1:9";
    ScopedEnv http("http_proxy", dead), https("HTTPS_PROXY", dead),
        noProxy("NO_PROXY", std::nullopt), noProxyLower("no_proxy", std::nullopt);
    FolderServiceAccess folder;
    std::string folderGUID, folderPath, fileGUID;
    std::wstring error;
    ASSERT_EQ(
        folder.init("ann", "s3cr3t", "focus", "guid-proxy", folderGUID, folderPath, "", false), 1)
        << env.logText();
    ASSERT_EQ(folder.UploadFile(files.path() + "/", "p.bin", folderPath, "t", fileGUID, error), 1)
        << env.logText();
  }
  EXPECT_EQ(emulator.files().at(0).value("size", 0), 17);
  const nlohmann::json stats = proxy.stats();
  EXPECT_GE(stats.value(counter, 0), 1) << stats.dump();
  EXPECT_EQ(env.logText().find("proxy-pass"), std::string::npos);
}

// A connection that cannot be made says in the caller's message where it
// went and why, in words: a host name no resolver knows, an https URL for a
// server that speaks plain http.
TEST_F(LoginOverHttp, AConnectionThatCannotBeMadeSaysWhereAndWhy) {
  const std::string plain = emulator->consoleUrl();
  const std::string tls = "https://" + plain.substr(plain.find("://") + 3);
  const std::string hostPort = plain.substr(7, plain.find('/', 7) - 7);
  struct Row {
    std::string url;
    std::string start;
  };
  const std::vector<Row> rows = {
      {"http://no-such-host.invalid/webconsole",
       "Error: Cannot connect to no-such-host.invalid port 80: the host name was not found (DNS); "
       "check the URL [curl error 6: "},
      {tls, "Error: Cannot connect to " + hostPort.substr(0, hostPort.find(':')) + " port " +
                hostPort.substr(hostPort.find(':') + 1) +
                ": the TLS handshake failed: the server does not speak TLS on that port (an "
                "https URL for an http server?) [curl error 35: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.url);
    BlobServiceAccess blob;
    blob.m_nRetryCount = 1;
    blob.forceInitialized(row.url, "ann", "s3cr3t");
    std::wstring error;
    std::string token;
    EXPECT_EQ(blob.DoLogin(error, token, true), 0);
    EXPECT_EQ(FXString::ToString(error).rfind(row.start, 0), 0u) << FXString::ToString(error);
  }
}

TEST_F(LoginOverHttp, AFolderUploadGoesThroughTheProxyOfTheSettings) {
  UploadThroughTheProxy(*emulator, "", "forwarded");
}

class LoginOverHttps : public EmulatorSuite<LoginOverHttps> {
 public:
  static EmulatorOptions emulatorOptions() {
    EmulatorOptions options;
    options.tls = true;
    return options;
  }
};

TEST_F(LoginOverHttps, VerifiesTheCertificateUnlessTheSettingSaysOtherwise) {
  std::wstring error;
  std::string token;
  {
    // Unknown CA: every connect is refused by the certificate check.
    ServiceEnv env;
    BlobServiceAccess blob;
    blob.m_nRetryCount = 2;
    blob.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
    EXPECT_EQ(blob.DoLogin(error, token, true), 0);
    EXPECT_NE(FXString::ToString(error).find(
                  ": the server's certificate is not trusted: add its CA (a PEM file) with the "
                  "environment variable ZUCLOUD_CA_FILE, or turn the check off with the setting "
                  "\"nWebReportsIgnoreCertificateErrors\" [curl error 60: "),
              std::string::npos)
        << FXString::ToString(error);
    EXPECT_EQ(CountOccurrences(env.logText(), "Error: Connection failed with error"), 2u);
  }
  {
    // The test CA through ZUCLOUD_CA_FILE: verified and accepted.
    ServiceEnv env(emulator->caFile());
    BlobServiceAccess blob;
    blob.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
    EXPECT_EQ(blob.DoLogin(error, token, true), 1) << env.logText();
  }
  {
    // No CA, but certificate errors ignored by setting.
    ServiceEnv env;
    env.setSection("Reports", "nWebReportsIgnoreCertificateErrors", "1");
    env.write();
    FolderServiceAccess folder;
    folder.forceInitialized(emulator->consoleUrl(), "ann", "s3cr3t");
    EXPECT_EQ(folder.DoLogin(error, token, true), 1) << env.logText();
  }
}

TEST_F(LoginOverHttps, AFolderUploadGoesThroughTheProxysTunnel) {
  UploadThroughTheProxy(*emulator, emulator->caFile(), "tunnels");
}

}  // namespace
}  // namespace zutest
