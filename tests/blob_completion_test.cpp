// The completion report of the blob service in API and workflow mode,
// against scripted gateways: request, body, reply verdicts and retries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "blob/setup/FileInfo.h"
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

class Completion : public ::testing::Test {
 protected:
  void SetUp() override { env_.setGlobal("DRBackupRetryCount", "2"); }

  std::unique_ptr<BlobServiceAccess> makeService() {
    auto service = std::make_unique<BlobServiceAccess>();
    service->forceInitialized(kConsole, "ann", "s3cr3t");
    service->m_vestrumGUID = "GUID-C";
    return service;
  }

  static void addFile(BlobServiceAccess& service, const std::string& name, unsigned long long size,
                      bool uploaded) {
    auto info = std::make_shared<FileInfo>();
    info->fileName = name;
    info->fileSize = size;
    info->url = "https://store.test/acct/c/f/" + name;
    info->uploaded = uploaded;
    service.m_fileList.push_back(info);
  }

  std::vector<FakeRequest> requests(const std::string& kind) {
    return zutest::BlobRequests(fakes_.journal(), kind);
  }

  zutest::ServiceEnv env_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  zutest::BlobFakeCloud cloud_{fakes_.journal()};
};

TEST_F(Completion, ApiModeReportsTheUploadedFilesInOrder) {
  auto service = makeService();
  addFile(*service, "b.bak", 5000000000ULL, true);
  addFile(*service, "lost.bak", 10, false);
  addFile(*service, "a.bak", 0, true);
  std::wstring message;
  ASSERT_EQ(service->ExecuteDRCompleteWorkflow(4294967295u, -1, message), 1);
  const std::vector<FakeRequest> all = requests("");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(zutest::BlobRequestKind(all[0].url), "login");
  EXPECT_EQ(all[1].url, std::string(kConsole) + "/api/zudrbackup/finalize");
  std::vector<std::pair<std::string, std::string>> headers;
  for (const auto& h : all[1].headers) headers.emplace_back(h.name, h.value);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"Accept", "application/xml"},
      {"Authtoken", "sess-4b1d77"},
      {"Content-type", "application/xml"}};
  EXPECT_EQ(headers, expected);
  EXPECT_EQ(all[1].body,
            "<Workflow_StartWorkflow><options><inputs><VestrumGUID>GUID-C</VestrumGUID>"
            "<JobId>4294967295</JobId>"
            "<FileName>b.bak</FileName><FileSize>5000000000</FileSize>"
            "<FullFilePath>https://store.test/acct/c/f/b.bak</FullFilePath>"
            "<FileName>a.bak</FileName><FileSize>0</FileSize>"
            "<FullFilePath>https://store.test/acct/c/f/a.bak</FullFilePath>"
            "<BackupLevel>-1</BackupLevel></inputs></options><outputFormat>0</outputFormat>"
            "</Workflow_StartWorkflow>");
  const std::string log = env_.logText();
  EXPECT_NE(log.find("Calling DR Backup Finalize in API mode"), std::string::npos);
  EXPECT_NE(log.find("Success: Finalize DR Backup is successful for user [ann]"),
            std::string::npos);
  EXPECT_EQ(log.find("sess-4b1d77"), std::string::npos);
}

// The files of the report, "name url size" each, in body order.
std::vector<std::string> ReportedFiles(const std::string& body) {
  std::vector<std::string> files;
  const auto field = [&](const std::string& tag, size_t& at) {
    const size_t start = body.find("<" + tag + ">", at) + tag.size() + 2;
    at = body.find("</" + tag + ">", start);
    return body.substr(start, at - start);
  };
  for (size_t at = body.find("<FileName>"); at != std::string::npos;
       at = body.find("<FileName>", at)) {
    const std::string name = field("FileName", at);
    const std::string size = field("FileSize", at);
    files.push_back(name + " " + field("FullFilePath", at) + " " + size);
  }
  return files;
}

// Each blob URL is one file in storage: the report lists it once, with the
// upload stored there now (a warning says an earlier one was replaced).
// The same name in another folder is another blob. A failed upload that
// sent nothing leaves the URL's entry as it was; one that sent blocks
// leaves the URL out.
TEST_F(Completion, EachBlobUrlIsListedOnceWithTheUploadStoredThere) {
  const std::string store = "https://store.test/acct/c";
  struct Call {
    std::string name;
    std::string folder;
    long long size;  // -1: the file is missing
    bool refused;    // storage refuses its blocks for good
  };
  struct Row {
    const char* what;
    std::vector<Call> calls;
    std::vector<std::string> listed;  // "name blob-path size"
    size_t warnings;
  };
  const std::vector<Row> rows = {
      {"once", {{"a", "f", 5000, false}}, {"a f/a 5000"}, 0},
      {"twice, larger", {{"a", "f", 5000, false}, {"a", "f", 7000, false}}, {"a f/a 7000"}, 1},
      {"twice, smaller", {{"a", "f", 7000, false}, {"a", "f", 5000, false}}, {"a f/a 5000"}, 1},
      {"two folders",
       {{"a", "f", 5000, false}, {"a", "g", 7000, false}},
       {"a f/a 5000", "a g/a 7000"},
       0},
      {"a folder with empty segments is the same folder",
       {{"a", "f", 5000, false}, {"a", "/f//", 7000, false}},
       {"a f/a 7000"},
       1},
      {"one blob, two spellings",
       {{"b/a", "f", 5000, false}, {"a", "f/b", 7000, false}},
       {"a f/b/a 7000"},
       1},
      {"another name first",
       {{"b", "f", 5000, false}, {"a", "f", 7000, false}},
       {"b f/b 5000", "a f/a 7000"},
       0},
      {"a failed call that sent nothing",
       {{"a", "f", 5000, false}, {"a", "f", -1, false}},
       {"a f/a 5000"},
       0},
      {"a failed call that sent blocks", {{"a", "f", 5000, false}, {"a", "f", 7000, true}}, {}, 0},
      {"a failed call to another folder",
       {{"a", "f", 5000, false}, {"a", "g", 7000, true}},
       {"a f/a 5000"},
       0},
      {"stored after a failed call",
       {{"a", "f", 5000, false}, {"a", "f", 7000, true}, {"a", "f", 6000, false}},
       {"a f/a 6000"},
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    zutest::TempDir files;
    ASSERT_EQ(::mkdir(files.file("b").c_str(), 0700), 0);
    auto service = makeService();
    service->m_uploadURL = store;
    service->m_sasToken = "sv=1&sig=S";
    const size_t warningsBefore =
        CountOccurrences(env_.logText(), "where an earlier upload of this set was stored");
    for (const Call& call : row.calls) {
      std::remove(files.file(call.name).c_str());
      if (call.size >= 0) zutest::WriteFile(files.file(call.name), std::string(call.size, 'z'));
      cloud_.failAlways("put_block", call.refused);
      std::wstring message;
      EXPECT_EQ(service->UploadFile(files.path() + "/", call.name, call.folder, message),
                call.size >= 0 && !call.refused ? 1 : 0);
    }
    cloud_.failAlways("put_block", false);
    std::wstring message;
    ASSERT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 1);
    std::vector<std::string> expected;
    for (const std::string& entry : row.listed) {
      const size_t path = entry.find(' ') + 1;
      expected.push_back(entry.substr(0, path) + store + "/" + entry.substr(path));
    }
    EXPECT_EQ(ReportedFiles(requests("finalize").back().body), expected);
    EXPECT_EQ(CountOccurrences(env_.logText(), "where an earlier upload of this set was stored") -
                  warningsBefore,
              row.warnings);
  }
}

TEST_F(Completion, WorkflowModeUsesTheWorkflowPathAndEscapesValues) {
  env_.setGlobal("bEnableZUCloudDRBackupAPIMode", "false");
  auto service = makeService();
  service->m_vestrumGUID = "G&1";
  addFile(*service, "x<y>.bak", 3, true);
  service->m_fileList[0]->url = "https://s.test/c/f/x?a=1&b=2";
  std::wstring message;
  ASSERT_EQ(service->ExecuteDRCompleteWorkflow(1, 0, message), 1);
  const std::vector<FakeRequest> finalize = requests("finalize");
  ASSERT_EQ(finalize.size(), 1u);
  EXPECT_EQ(finalize[0].url,
            std::string(kConsole) +
                "/api/Workflow/Finalize_DRBackup_ZUCloud/Action/Execute?outputonly=true");
  EXPECT_EQ(finalize[0].body,
            "<Workflow_StartWorkflow><options><inputs><VestrumGUID>G&amp;1</VestrumGUID>"
            "<JobId>1</JobId><FileName>x&lt;y&gt;.bak</FileName><FileSize>3</FileSize>"
            "<FullFilePath>https://s.test/c/f/x?a=1&amp;b=2</FullFilePath>"
            "<BackupLevel>0</BackupLevel></inputs></options><outputFormat>0</outputFormat>"
            "</Workflow_StartWorkflow>");
  EXPECT_NE(env_.logText().find("Calling DR Backup Finalize in workflow mode"), std::string::npos);
}

TEST_F(Completion, OnlyATrueIsSuccessChildOfTheRootCounts) {
  struct Case {
    std::string reply;
    bool success;
  };
  const std::vector<Case> cases = {
      {"<R><isSuccess>TRUE</isSuccess></R>", true},
      {"<R><isSuccess>false</isSuccess><isSuccess>True</isSuccess></R>", true},
      {"<R><isSuccess>1</isSuccess></R>", false},
      {"<R><isSuccess>yes</isSuccess></R>", false},
      {"<R><isSuccess>true</isSuccess><isSuccess>no</isSuccess></R>", false},
      {"<R><result><isSuccess>true</isSuccess></result></R>", false},
      {"<isSuccess>true</isSuccess>", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    cloud_.finalizeReply = c.reply;
    auto service = makeService();
    const size_t before = requests("finalize").size();
    const size_t waitsBefore = sleeps_.waits().size();
    std::wstring message = L"untouched";
    EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), c.success ? 1 : 0);
    EXPECT_EQ(requests("finalize").size() - before, c.success ? 1u : 2u);
    EXPECT_EQ(sleeps_.waits().size() - waitsBefore, c.success ? 0u : 2u);
    EXPECT_EQ(message, L"untouched");
  }
  EXPECT_NE(
      env_.logText().find("Error: Failed to execute Finalize DR workflow in cloud for Vestrum GUID "
                          "[GUID-C]. Retrying after [120000] ms, retry count [2]"),
      std::string::npos);
  EXPECT_NE(env_.logText().find("Vestrum GUID [GUID-C]. Total retry count [2]"), std::string::npos);
}

TEST_F(Completion, BrokenAndHostileRepliesAreRetriedAfterTheWait) {
  auto service = makeService();
  cloud_.finalizeReply = "<R><isSuccess>true</R>";
  std::wstring message;
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(requests("finalize").size(), 2u);
  EXPECT_EQ(CountOccurrences(env_.logText(),
                             "Error: Failed to parse ZU Cloud Finalize DR workflow response : "
                             "[<R><isSuccess>true</R>] : URL [" +
                                 std::string(kConsole) +
                                 "/api/zudrbackup/finalize] and vestrum ID [GUID-C]. "
                                 "Error Message: Unknown error"),
            2u);
  EXPECT_EQ(sleeps_.waits(), (std::vector<unsigned int>{120000, 120000}));

  cloud_.finalizeReply =
      zutest::EntityBombDoctype("R", 1) + "<R><isSuccess>true</isSuccess><x>&a9;</x></R>";
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(requests("finalize").size(), 4u);
}

TEST_F(Completion, FailedPostsAndRefusals) {
  auto service = makeService();
  cloud_.failAlways("finalize", true);
  std::wstring message;
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(message, L"Failed to execute Finalize DR workflow.");
  EXPECT_EQ(requests("finalize").size(), 2u);
  EXPECT_EQ(CountOccurrences(env_.logText(),
                             "Error: Failed to execute Finalize DR workflow with workflow URL [" +
                                 std::string(kConsole) +
                                 "/api/zudrbackup/finalize] and vestrum ID [GUID-C]. "
                                 "Error Message[HTTP 500]"),
            2u);

  BlobServiceAccess fresh;
  EXPECT_EQ(fresh.ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(message,
            L"Error: ZUCloudAzureService not initialized, no user/password provided, call "
            L"ZUCloudAzureService::init() first");

  // The login waits between its attempts here.
  cloud_.failAlways("finalize", false);
  cloud_.failNext("login", 1);
  const size_t waitsBefore = sleeps_.waits().size();
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 1);
  EXPECT_EQ(sleeps_.waits().size() - waitsBefore, 1u);

  cloud_.failAlways("login", true);
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(message,
            L"Error: Failed to login to cloud. Please check ZUCloudService.log for more details.");
}

TEST_F(Completion, AnExceptionBecomesAFailureAndReleasesTheGateway) {
  auto service = makeService();
  addFile(*service, "a.bin", 10, true);
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    auto cloud = fakes_.journal().responder;
    fakes_.journal().responder = [cloud](const FakeRequest& request) {
      if (zutest::BlobRequestKind(request.url) == "finalize") {
        throw std::runtime_error("connection object lost");
      }
      return cloud(request);
    };
  }
  std::wstring message;
  EXPECT_EQ(service->ExecuteDRCompleteWorkflow(7, 1, message), 0);
  EXPECT_EQ(message, L"Failed to execute Finalize DR workflow.");
  EXPECT_EQ(CountOccurrences(env_.logText(),
                             "[ExecuteDRCompleteWorkflow] Error: Unexpected "
                             "failure [connection object lost]"),
            1u);
  std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
  EXPECT_EQ(fakes_.journal().deleted, fakes_.journal().gatewaysCreated);
}

}  // namespace
