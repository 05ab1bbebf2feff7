// Azure Functions mode of the blob service against scripted gateways: the
// file list, the JSON set-up and finalize requests, the back-off of
// SendAzureRequest and the per-file token lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "blob/setup/FileInfo.h"
#include "platform/text/FXString.h"
#include "session/RetryPolicy.h"
#include "support/BlobFakeCloud.h"
#include "support/Emulator.h"
#include "support/EnvChange.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace {

using zutest::BlobServiceAccess;
using zutest::CountOccurrences;
using zutest::FakeRequest;

constexpr const char* kBase = "https://af.test/azfunc";

class AzureFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode", "true");
    env_.setGlobal("ZUCloudDRBackupAzureBaseUrl", kBase);
    env_.setGlobal("DRBackupRetryCount", "3");
    zutest::EnvChange change;
    change.jitter = [] { return 7; };
    jitter_.emplace(change);
  }

  std::vector<FakeRequest> requests(const std::string& kind) {
    return zutest::BlobRequests(fakes_.journal(), kind);
  }

  int init(BlobServiceAccess& service, std::wstring& message, unsigned int jobId = 4294967295u,
           int backupLevel = 2, const std::string& guid = "GUID-AF") {
    return service.init("", "", "focus", guid, -5, jobId, "set-3", backupLevel, 4000000000u,
                        message, "");
  }

  zutest::ServiceEnv env_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  std::optional<zutest::ScopedEnvChange> jitter_;  // last: its scope ends first
  zutest::BlobFakeCloud cloud_{fakes_.journal()};
};

TEST_F(AzureFunctions, AddFileInfoRegistersTheNameAfterTheLastSlash) {
  BlobServiceAccess service;
  service.AddFileInfo("/var/dr/set1/db.bak");
  service.AddFileInfo("C:\\dr\\win.bak");
  service.AddFileInfo("plain.bin");
  service.AddFileInfo("other/db.bak");  // same name again: the index moves on
  ASSERT_EQ(service.m_fileList.size(), 4u);
  EXPECT_EQ(service.m_fileList[0]->fileName, "db.bak");
  EXPECT_EQ(service.m_fileList[1]->fileName, "C:\\dr\\win.bak");
  EXPECT_EQ(service.m_fileList[2]->fileName, "plain.bin");
  EXPECT_FALSE(service.m_fileList[0]->uploaded);
  EXPECT_EQ(service.m_fileIndex.at("db.bak"), 3u);
  EXPECT_EQ(service.m_fileIndex.at("plain.bin"), 2u);
  EXPECT_EQ(service.m_fileIndex.size(), 3u);
}

TEST_F(AzureFunctions, AddFileInfoIsIgnoredInTheOtherModes) {
  env_.setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode", "false");
  BlobServiceAccess api;
  api.AddFileInfo("/x/a.bin");
  EXPECT_TRUE(api.m_fileList.empty());
  EXPECT_TRUE(api.m_fileIndex.empty());
  env_.setGlobal("bEnableZUCloudDRBackupAPIMode", "false");
  BlobServiceAccess workflow;
  workflow.AddFileInfo("/x/a.bin");
  EXPECT_TRUE(workflow.m_fileList.empty());
  // Outside this mode every file gets the one container token.
  workflow.m_sasToken = "sv=1&sig=ONE";
  std::string token;
  EXPECT_TRUE(workflow.GetSASTokenForFile("anything", token));
  EXPECT_EQ(token, "sv=1&sig=ONE");
}

TEST_F(AzureFunctions, SetupRequestCarriesTypedNumbersAndTheFilesInOrder) {
  BlobServiceAccess service;
  service.AddFileInfo("/d/b.bin");
  service.AddFileInfo("/d/a.bin");
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  const std::vector<FakeRequest> setup = requests("af_setup");
  ASSERT_EQ(setup.size(), 1u);
  ASSERT_EQ(requests("").size(), 1u);  // no login
  EXPECT_EQ(setup[0].url, std::string(kBase) + "/api/Setup");
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& h : setup[0].headers) headers.emplace_back(h.name, h.value);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Accept", "application/json"}, {"Content-Type", "application/json"}};
  EXPECT_EQ(headers, expected);

  const nlohmann::json body = nlohmann::json::parse(setup[0].body);
  EXPECT_EQ(body["VestrumGUID"], "GUID-AF");
  EXPECT_EQ(body["SetId"], "set-3");
  EXPECT_EQ(body["VestrumId"].get<int>(), -5);
  EXPECT_TRUE(body["JobId"].is_number_unsigned());
  EXPECT_EQ(body["JobId"].get<unsigned long long>(), 4294967295ULL);
  EXPECT_EQ(body["FullJobId"].get<unsigned long long>(), 4000000000ULL);
  EXPECT_EQ(body["BackupLevel"].get<int>(), 2);
  EXPECT_NE(setup[0].body.find("\"JobId\":4294967295"), std::string::npos) << setup[0].body;
  EXPECT_NE(setup[0].body.find("\"VestrumId\":-5"), std::string::npos) << setup[0].body;
  ASSERT_EQ(body["Files"].size(), 2u);
  EXPECT_EQ(body["Files"][0]["Name"], "b.bin");
  EXPECT_EQ(body["Files"][1]["Name"], "a.bin");

  EXPECT_EQ(service.m_uploadURL, "https://store.test/devacct/af1");
  EXPECT_EQ(service.m_bInitialized, 1);
  EXPECT_EQ(service.m_bFolderReady, 1);
  std::string token;
  EXPECT_TRUE(service.GetSASTokenForFile("a.bin", token));
  EXPECT_EQ(token, "sv=1&sr=b&sig=AFSIGa.bin");
  EXPECT_TRUE(service.GetSASTokenForFile("b.bin", token));
  EXPECT_EQ(token, "sv=1&sr=b&sig=AFSIGb.bin");
  EXPECT_FALSE(service.GetSASTokenForFile("/d/a.bin", token));
  EXPECT_NE(
      env_.logText().find(
          "ZUCloudAzureService(892): -Error-: Could not find upload token for file [/d/a.bin]"),
      std::string::npos);
}

TEST_F(AzureFunctions, SetupWithoutFilesLeavesTheFilesKeyOut) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  const std::vector<FakeRequest> setup = requests("af_setup");
  ASSERT_EQ(setup.size(), 1u);
  EXPECT_FALSE(nlohmann::json::parse(setup[0].body).contains("Files"));
}

TEST_F(AzureFunctions, TokensAreMatchedByNameAndOthersIgnored) {
  env_.setGlobal("ZUCloudDRBackupAzureBaseUrl", "http://af.test/azfunc");
  cloud_.afSetupReply =
      R"({"containerCreated": true, "azureSASServiceURL": "https://store.test/x",
          "azureSASTokens": [{"name": "a.bin", "sasToken": "T-A"}, "junk",
                             {"name": "ghost.bin", "sasToken": "T-G"}, {"sasToken": "T-0"},
                             {"name": "c.bin", "sasToken": "sv=1\r\nX-Injected: 1"}]})";
  BlobServiceAccess service;
  service.AddFileInfo("a.bin");
  service.AddFileInfo("b.bin");
  service.AddFileInfo("c.bin");
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  EXPECT_TRUE(service.m_bSecured);  // follows the storage URL, not the http base
  ASSERT_EQ(service.m_fileList.size(), 3u);
  EXPECT_EQ(service.m_fileList[0]->sasToken, "T-A");
  EXPECT_EQ(service.m_fileList[1]->sasToken, "");
  // A token no URL can carry is not kept: the file fails at once, unsent.
  EXPECT_EQ(service.m_fileList[2]->sasToken, "");
  EXPECT_NE(env_.logText().find("The SAS token for file [c.bin] holds characters no URL can carry"),
            std::string::npos);
  std::string token = "x";
  EXPECT_TRUE(service.GetSASTokenForFile("b.bin", token));
  EXPECT_EQ(token, "");
  EXPECT_FALSE(service.GetSASTokenForFile("ghost.bin", token));
}

TEST_F(AzureFunctions, SetupFailuresGiveTheirMessages) {
  struct Case {
    std::string reply;
    std::wstring message;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {"not json",
       L"Error: Failed to set up DR upload to Tolvane Cloud. Please check ZUCloudService.log for "
       L"more details.",
       "ZUCloudAzureService(608): -Error-: Failed to deserialize API response from Azure: [not "
       "json]"},
      {R"({"containerCreated": false, "errorMessage": "no quota", "invocationId": "inv-1"})",
       L"Error: Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
       L"details.",
       "ZUCloudAzureService(636): -Error-: Failed to create storage container for upload. Message: "
       "[no quota] Invocation ID: [inv-1]"},
      {R"({"containerCreated": "true"})",
       L"Error: Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
       L"details.",
       "ZUCloudAzureService(638): -Error-: Failed to create storage container for upload. Cloud "
       "storage service may be temporarily unavailable. Response: ["},
      {R"({"containerCreated": true})",
       L"Error: Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
       L"details.",
       "ZUCloudAzureService(647): -Error-: Could not find storage service URL in Azure response: "
       "["},
      // The base URL is https: a plain http storage URL would carry the SAS
      // signatures in clear.
      {R"({"containerCreated": true, "azureSASServiceURL": "http://store.test/x"})",
       L"Error: Failed to set up upload to Tolvane Cloud. The storage service URL given by the "
       L"cloud is not https although the web console is; nothing is sent to it.",
       "ZUCloudAzureService(647): -Error-: The storage service URL given by the cloud is not "
       "https although the web console is"},
      // Nor does "https:" later in its path or query make it https.
      {R"({"containerCreated": true, "azureSASServiceURL": "http://store.test/x?to=https://y"})",
       L"Error: Failed to set up upload to Tolvane Cloud. The storage service URL given by the "
       L"cloud is not https although the web console is; nothing is sent to it.",
       "ZUCloudAzureService(647): -Error-: The storage service URL given by the cloud is not "
       "https although the web console is"},
      // A NUL is refused, not cut ("https://store.test/x" would remain).
      {R"({"containerCreated": true, "azureSASServiceURL": "https://store.test/x\u0000.evil.test"})",
       L"Error: Failed to set up upload to Tolvane Cloud. The storage service URL given by the "
       L"cloud holds a control character; nothing is sent to it.",
       "ZUCloudAzureService(647): -Error-: The storage service URL given by the cloud holds a "
       "control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    cloud_.afSetupReply = c.reply;
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message), 0);
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(service.m_bInitialized, 0);
    EXPECT_TRUE(service.m_uploadURL.empty());
    EXPECT_NE(env_.logText().find(c.logLine), std::string::npos);
  }
}

TEST_F(AzureFunctions, MissingBaseUrlOrGuidIsRefusedBeforeAnyRequest) {
  {
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message, 1, 1, ""), 0);
    EXPECT_EQ(message, L"Setup cannot proceed due to an empty Vestrum GUID.");
    EXPECT_TRUE(service.m_bSecured);  // "https:" in any case
  }
  env_.setGlobal("ZUCloudDRBackupAzureBaseUrl", "");
  BlobServiceAccess service;
  service.m_url = "http://stale.test";
  std::wstring message;
  EXPECT_EQ(init(service, message), 0);
  EXPECT_EQ(message,
            L"Could not find a valid Azure API endpoint for setting up upload to Tolvane Cloud. "
            L"Set \"ZUCloudDRBackupAzureBaseUrl\" in [GlobalParam] of the settings file to the "
            L"Azure Functions base URL.");
  EXPECT_TRUE(service.m_url.empty());
  EXPECT_TRUE(requests("").empty());
  const std::string log = env_.logText();
  EXPECT_NE(
      log.find(
          "ZUCloudAzureService(566): -Error-: Setup cannot proceed due to an empty Vestrum GUID."),
      std::string::npos);
  EXPECT_NE(
      log.find("ZUCloudAzureService(553): -Error-: Could not find a valid Azure API endpoint"),
      std::string::npos);
}

TEST_F(AzureFunctions, SetupWaitsOnlyForARealJob) {
  cloud_.failAlways("af_setup", true);
  {
    BlobServiceAccess service;
    std::wstring message;
    EXPECT_EQ(init(service, message, 0, 2), 0);  // job id 0
    EXPECT_EQ(message,
              L"Failed to set up upload to Tolvane Cloud. Please check ZUCloudService.log for more "
              L"details.");
    EXPECT_EQ(init(service, message, 7, 0), 0);  // backup level 0
    EXPECT_TRUE(sleeps_.waits().empty());
    EXPECT_EQ(requests("af_setup").size(), 6u);
    EXPECT_EQ(CountOccurrences(env_.logText(),
                               "ZUCloudAzureService(859): -Error-: Azure API returned error. "
                               "Retrying immediately since called with Ignore retry wait"),
              6u);
  }
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message, 7, 1), 0);
  EXPECT_EQ(sleeps_.waits(), (std::vector<unsigned int>{1007, 2007, 4007}));
  const std::string log = env_.logText();
  EXPECT_NE(log.find("ZUCloudAzureService(864): -Error-: Azure API returned error. Retrying after "
                     "[4007] ms, retry count [3]"),
            std::string::npos);
  EXPECT_NE(log.find("ZUCloudAzureService(870): -Error-: Failed to get successful response from "
                     "Azure. Total retry count [3]."),
            std::string::npos);
  EXPECT_NE(log.find("ZUCloudAzureService(847): -Error-: Azure API returned error. Status Code "
                     "[500] Error Message [HTTP 500]"),
            std::string::npos);
}

TEST_F(AzureFunctions, BackoffIsCappedByTheMaximumSetting) {
  env_.setGlobal("ZUCloudDRBackupMaximumBackoff", "2");
  env_.setGlobal("DRBackupRetryCount", "4");
  cloud_.failAlways("af_setup", true);
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message, 7, 1), 0);
  EXPECT_EQ(sleeps_.waits(), (std::vector<unsigned int>{1007, 2000, 2000, 2000}));
}

TEST_F(AzureFunctions, AFailedSendReportsTheCloudsErrorMessage) {
  BlobServiceAccess service;
  std::wstring message;
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    fakes_.journal().responder = [](const FakeRequest&) {
      return zutest::FakeReply{1, R"({"errorMessage": "GUID unknown", "invocationId": "i-9"})", 400,
                               "HTTP 400"};
    };
  }
  EXPECT_EQ(init(service, message, 0, 0), 0);
  EXPECT_EQ(message, L"GUID unknown");
  EXPECT_NE(
      env_.logText().find("ZUCloudAzureService(695): -Error-: Failed to set up DR Backup upload on "
                          "Tolvane Cloud. Message: [GUID unknown] Invocation ID: [i-9]"),
      std::string::npos);
}

TEST_F(AzureFunctions, NoConnectionIsLogged) {
  fakes_.journal().connectResult = 1;
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(init(service, message, 0, 0), 0);
  EXPECT_TRUE(requests("").empty());
  EXPECT_NE(
      env_.logText().find("ZUCloudAzureService(827): -Error-: Could not establish a connection to "
                          "the server [https://af.test/azfunc]. Verify firewall/proxy settings"),
      std::string::npos);
}

TEST_F(AzureFunctions, FinalizeReportsOnlyUploadedFilesAndAlwaysHasFiles) {
  BlobServiceAccess service;
  std::wstring message;
  EXPECT_EQ(service.FinalizeAzureFunctions(1, 1, message), 0);
  EXPECT_EQ(message,
            L"Error: ZUCloudAzureService not initialized, call ZUCloudAzureService::init() first");
  EXPECT_TRUE(requests("").empty());

  ASSERT_EQ(init(service, message), 1);
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 3, message), 1);
  std::vector<FakeRequest> finalize = requests("af_finalize");
  ASSERT_EQ(finalize.size(), 1u);
  EXPECT_EQ(finalize[0].url, std::string(kBase) + "/api/Finalize");
  nlohmann::json body = nlohmann::json::parse(finalize[0].body);
  ASSERT_TRUE(body.contains("Files"));
  EXPECT_TRUE(body["Files"].empty());
  EXPECT_EQ(body["JobId"].get<unsigned long long>(), 4294967295ULL);
  EXPECT_EQ(body["VestrumId"].get<int>(), -5);
  EXPECT_EQ(body["BackupLevel"].get<int>(), 3);
  EXPECT_EQ(body["VestrumGUID"], "GUID-AF");

  service.AddFileInfo("x/done.bin");
  service.AddFileInfo("x/failed.bin");
  service.m_fileList[0]->uploaded = true;
  service.m_fileList[0]->fileSize = 5000000000ULL;
  service.m_fileList[0]->url = "https://store.test/devacct/af1/f/done.bin";
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(9, 3, message), 1);
  finalize = requests("af_finalize");
  ASSERT_EQ(finalize.size(), 2u);
  body = nlohmann::json::parse(finalize[1].body);
  ASSERT_EQ(body["Files"].size(), 1u);
  EXPECT_EQ(body["Files"][0]["Name"], "done.bin");
  EXPECT_EQ(body["Files"][0]["Size"].get<unsigned long long>(), 5000000000ULL);
  EXPECT_EQ(body["Files"][0]["Url"], "https://store.test/devacct/af1/f/done.bin");
  const std::string log = env_.logText();
  EXPECT_EQ(CountOccurrences(log,
                             "ZUCloudAzureService(744): -Warn--: File [failed.bin] queued for "
                             "upload but could not be uploaded"),
            1u);
  EXPECT_NE(
      log.find("ZUCloudAzureService(1723): -Debug-: Azure mode: Calling FinalizeAzureFunctions"),
      std::string::npos);
  EXPECT_NE(
      log.find("ZUCloudAzureService(809): -Debug-: Success: Finalize DR Backup is successful"),
      std::string::npos);
  // Finalize always waits between attempts.
  cloud_.failNext("af_finalize", 1);
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(9, 3, message), 1);
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned int>{1007});
}

TEST_F(AzureFunctions, FinalizeThatIsNotConfirmedFails) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  const std::wstring fixed =
      L"Error: Failed to update DR Backup upload status on Tolvane Cloud. Please check "
      L"ZUCloudService.log for more details.";
  cloud_.afFinalizeReply =
      R"({"isSuccess": false, "errorMessage": "size mismatch", "invocationId": "i-2"})";
  EXPECT_EQ(service.FinalizeAzureFunctions(1, 1, message), 0);
  EXPECT_EQ(message, fixed);
  // Only the JSON literal true confirms; look-alikes and a true elsewhere
  // in the reply do not.
  for (const char* reply :
       {R"({"isSuccess": "true"})", R"({"isSuccess": "1"})", R"({"isSuccess": 1})",
        R"({"isSuccess": "True"})", R"({"isSuccess": [true]})",
        R"({"status": {"isSuccess": true}})", R"([{"isSuccess": true}])", R"({})"}) {
    SCOPED_TRACE(reply);
    cloud_.afFinalizeReply = reply;
    message.clear();
    EXPECT_EQ(service.FinalizeAzureFunctions(1, 1, message), 0);
    EXPECT_EQ(message, fixed);
  }
  cloud_.afFinalizeReply = "<xml/>";
  EXPECT_EQ(service.FinalizeAzureFunctions(1, 1, message), 0);
  EXPECT_EQ(message, fixed);
  const std::string log = env_.logText();
  EXPECT_NE(
      log.find("ZUCloudAzureService(770): -Error-: DR Backup upload completed but failed to get a "
               "success response from DR Backup finalize request. Message: [size mismatch] "
               "Invocation ID: [i-2]"),
      std::string::npos);
  EXPECT_NE(log.find("ZUCloudAzureService(773): -Error-:"), std::string::npos);
  EXPECT_NE(log.find("ZUCloudAzureService(757): -Error-: Failed to deserialize API response from "
                     "Azure: [<xml/>]"),
            std::string::npos);
}

TEST_F(AzureFunctions, ANeverRegisteredFileIsRefusedBeforeAnyFileAccess) {
  BlobServiceAccess service;
  service.AddFileInfo("known.bin");
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  const size_t before = requests("").size();
  EXPECT_EQ(service.UploadFile("/nonexistent/dir/", "stranger.bin", "f", message), 0);
  EXPECT_EQ(message, L"Could not find upload token for file. Skipping upload");
  EXPECT_EQ(requests("").size(), before);
  const std::string log = env_.logText();
  EXPECT_NE(log.find("ZUCloudAzureService(1346): -Error-: Could not find upload token for file "
                     "[stranger.bin]. Skipping upload"),
            std::string::npos);
  EXPECT_EQ(log.find("Cannot open the file"), std::string::npos);
  EXPECT_EQ(service.m_fileList.size(), 1u);
}

// A name's calls to one URL share its record. A failed call that sent
// nothing to storage left the blob an earlier call committed as it was: the
// record stays as that call left it and the file stays in the completion.
// A call that sent blocks no longer counts the file uploaded; one that
// stored the file again replaces the earlier upload (listed once, with the
// size stored now, and a warning). A call to another folder is another blob:
// its record stands beside the first, whatever becomes of it.
TEST_F(AzureFunctions, AFailedUploadThatSentNothingKeepsAnEarlierCommit) {
  env_.setGlobal("DRBackupUploadBlobSize", "1");
  env_.setGlobal("DRBackupRetryCount", "1");
  zutest::TempDir files;
  const unsigned long long firstSize = 1048576 + 3;
  const unsigned long long secondSize = 1048576 + 9;
  struct Row {
    const char* what;
    const char* folder;                                  // of the second call
    std::function<void(const std::string& path)> spoil;  // before the second call
    int result;                                          // of the second call
    std::vector<std::string> listed;                     // "folder size", in the completion
  };
  const auto gone = [](const std::string& path) { std::remove(path.c_str()); };
  const auto warm = [this](const std::string&) {
    env_.setGlobal("DRBackupUploadAccessTier", "Warm");
  };
  const auto refused = [this](const std::string&) { cloud_.failAlways("put_block", true); };
  const auto grown = [&](const std::string& path) {
    zutest::WriteFile(path, zutest::RandomBytes(secondSize, 8));
  };
  const std::string first = "f " + std::to_string(firstSize);
  const std::string second = std::to_string(secondSize);
  const std::vector<Row> rows = {
      {"the file is gone", "f", gone, 0, {first}},
      {"the tier is refused", "f", warm, 0, {first}},
      {"a block refused for good", "f", refused, 0, {}},
      {"stored again", "f", grown, 1, {"f " + second}},
      {"another folder: the file is gone", "g", gone, 0, {first}},
      {"another folder: a block refused for good", "g", refused, 0, {first}},
      {"another folder: stored", "g", grown, 1, {first, "g " + second}},
  };
  BlobServiceAccess service;
  for (size_t i = 0; i < rows.size(); ++i) service.AddFileInfo("keep-" + std::to_string(i));
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  std::vector<std::string> expected;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.what);
    const std::string name = "keep-" + std::to_string(i);
    zutest::WriteFile(files.file(name), zutest::RandomBytes(firstSize, 7));
    ASSERT_EQ(service.UploadFile(files.path() + "/", name, "f", message), 1);
    const FileInfo committed = *service.m_fileList[i];
    ASSERT_TRUE(committed.uploaded);
    row.spoil(files.file(name));
    EXPECT_EQ(service.UploadFile(files.path() + "/", name, row.folder, message), row.result);
    const FileInfo& after = *service.m_fileList[i];
    const bool kept = !row.listed.empty() && row.listed[0] == first;
    EXPECT_EQ(after.uploaded, !row.listed.empty() && row.listed[0][0] == 'f');
    if (kept) {
      EXPECT_EQ(after.url, committed.url);
      EXPECT_EQ(after.fileSize, committed.fileSize);
    }
    for (const std::string& entry : row.listed) expected.push_back(name + " " + entry);
    env_.setGlobal("DRBackupUploadAccessTier", "");
    cloud_.failAlways("put_block", false);
  }
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(9, 1, message), 1);
  const nlohmann::json body = nlohmann::json::parse(requests("af_finalize").back().body);
  std::vector<std::string> reported;
  for (const auto& file : body["Files"]) {
    const std::string name = file["Name"];
    const std::string url = file["Url"];
    // ".../<folder>/<name>", the folder one letter.
    const std::string folder = url.substr(url.size() - name.size() - 2, 1);
    EXPECT_EQ(url.substr(url.size() - name.size() - 3), "/" + folder + "/" + name);
    const unsigned long long size = file["Size"];
    reported.push_back(name + " " + folder + " " + std::to_string(size));
  }
  std::sort(reported.begin(), reported.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(reported, expected);
  EXPECT_EQ(CountOccurrences(env_.logText(), "where an earlier upload of this set was stored"), 1u);
}

}  // namespace

namespace {

// Names in the "Files" list of an Azure Functions set-up request.
std::vector<std::string> SetUpFiles(const FakeRequest& request) {
  std::vector<std::string> names;
  const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  for (const auto& file : body.value("Files", nlohmann::json::array())) {
    names.push_back(file.value("Name", ""));
  }
  return names;
}

// A file whose token expires asks the Setup function again, naming the
// files not uploaded yet with the same ids as init, and takes its own fresh
// token from the reply; the next file's token, expired too, is refreshed
// for it alone.
TEST_F(AzureFunctions, AnExpiredTokenIsRefreshedByTheSetupFunctionForTheFilesStillToSend) {
  env_.setGlobal("DRBackupUploadBlobSize", "1");
  zutest::TempDir files;
  for (const char* name : {"a.bak", "b.bak"}) {
    zutest::WriteFile(files.file(name), zutest::RandomBytes(2 * 1048576 + 5, 4));
  }
  BlobServiceAccess service;
  service.AddFileInfo("a.bak");
  service.AddFileInfo("b.bak");
  cloud_.expireTokenAfter(2, "none");  // every token lasts two storage requests
  std::wstring message;
  ASSERT_EQ(init(service, message), 1);
  for (const char* name : {"a.bak", "b.bak"}) {
    ASSERT_EQ(service.UploadFile(files.path() + "/", name, "f", message), 1)
        << FXString::ToString(message);
  }
  const std::vector<FakeRequest> setUps = requests("af_setup");
  // init; a.bak's third block; b.bak's first block (its token from init
  // expired with a.bak's) and third block.
  ASSERT_EQ(setUps.size(), 1u + 1u + 2u) << env_.logText();
  EXPECT_EQ(SetUpFiles(setUps[1]), (std::vector<std::string>{"a.bak", "b.bak"}));
  EXPECT_EQ(SetUpFiles(setUps[2]), (std::vector<std::string>{"b.bak"}));
  EXPECT_EQ(SetUpFiles(setUps[3]), (std::vector<std::string>{"b.bak"}));
  for (const FakeRequest& setUp : setUps) {
    const nlohmann::json body = nlohmann::json::parse(setUp.body);
    EXPECT_EQ(body.value("VestrumGUID", ""), "GUID-AF");
    EXPECT_EQ(body.value("FullJobId", 0u), 4000000000u);
  }
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_EQ(service.m_fileList[1]->sasToken, "sv=1&sr=c&sig=FRESH4");
  EXPECT_EQ(CountOccurrences(env_.logText(), "asking the Azure Functions Setup for a fresh SAS"),
            3u);
}

}  // namespace
