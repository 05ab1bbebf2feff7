// The folder upload service end to end against the cloud emulator: init,
// folder creation and chunked uploads over real HTTP, with the upload base
// URL served on the emulator's second listener, and resumes after injected
// chunk faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/text/Base64.h"
#include "support/Emulator.h"
#include "support/EmulatorSuite.h"
#include "support/FakeGateway.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

using nlohmann::json;

constexpr long long kMiB = 1048576;
constexpr long long kChunk = 4 * kMiB;

std::string Header(const json& entry, const std::string& name) {
  for (const json& h : entry["headers"]) {
    if (h[0].get<std::string>() == name) return h[1].get<std::string>();
  }
  return "";
}

// (kind, body length, FileEOF) of the upload requests in the journal.
std::vector<std::string> UploadShapes(const json& journal) {
  std::vector<std::string> shapes;
  for (const json& e : journal) {
    const std::string kind = e["kind"].get<std::string>();
    if (kind != "upload_session" && kind != "upload_chunk" && kind != "offset_query") continue;
    shapes.push_back(kind + ":" + std::to_string(e["body_len"].get<long long>()) +
                     (Header(e, "FileEOF") == "1" ? ":EOF" : ""));
  }
  return shapes;
}

class FolderEmulatorTest : public EmulatorServiceSuite<FolderEmulatorTest> {
 protected:
  void SetUp() override { resetEmulator(env); }

  void initService() {
    ASSERT_EQ(1,
              service.init("ann", "s3cr3t", "focus", "guid-e2e", folderGUID, folderPath, "", false))
        << env.logText();
  }

  // Writes `size` random bytes, uploads them and returns them.
  std::string uploadNew(const std::string& name, long long size, int expected = 1) {
    const std::string data = RandomBytes(size, static_cast<unsigned>(size % 1000 + 3));
    WriteFile(files.file(name), data);
    EXPECT_EQ(expected, service.UploadFile(files.path() + "/", name, folderPath + "\\Job 1",
                                           "2024-06-01T08:00:00Z", fileGUID, message))
        << env.logText();
    return data;
  }

  // The emulator holds one file, with content `data`.
  void expectOnlyStoredFile(const std::string& data) {
    const json stored = emulator->files();
    ASSERT_EQ(1u, stored.size());
    std::string content;
    ASSERT_EQ(0, base64Decode(stored[0]["content_base64"].get<std::string>(), content));
    EXPECT_TRUE(content == data);
  }

  // Uploads a file of `size` bytes while the first request of `kind` loses
  // its reply after the server carried it out: the file ends stored byte
  // for byte and reported so, with the emulator's GUID.
  void uploadWithLostReply(const std::string& kind, long long size) {
    initService();
    emulator->fault(kind, {{"fault", "lost_reply"}, {"count", 1}});
    fileGUID = "untouched";
    const std::string data = uploadNew("lost.bin", size);
    expectOnlyStoredFile(data);
    EXPECT_EQ(emulator->files()[0]["fileGUID"].get<std::string>(), fileGUID);
    const json faulted = emulator->journal(kind);
    ASSERT_FALSE(faulted.empty());
    EXPECT_EQ("lost_reply", faulted[0].value("fault", ""));
    EXPECT_EQ(200, faulted[0].value("handler_status", 0));  // carried out, its reply lost
    // The lost reply cost at least one request more than a clean upload.
    const size_t clean = size <= kChunk ? 2u : static_cast<size_t>((size + kChunk - 1) / kChunk);
    EXPECT_GT(UploadShapes(emulator->journal()).size(), clean) << env.logText();
  }

  FolderServiceAccess service;
  std::string folderGUID;
  std::string folderPath;
  std::string fileGUID;
  std::wstring message;
};

TEST_F(FolderEmulatorTest, InitFindsTheDrFolderAndTheUploadListener) {
  initService();
  EXPECT_EQ("\\DRBackup\\guid-e2e", folderPath);
  EXPECT_EQ(folderPath, service.m_folderPath);
  EXPECT_FALSE(folderGUID.empty());
  EXPECT_EQ(emulator->uploadUrl(), service.m_uploadURL);
  EXPECT_NE(service.m_url, service.m_uploadURL);

  const json setup = emulator->journal("folder_setup");
  ASSERT_EQ(1u, setup.size());
  EXPECT_EQ(200, setup[0]["status"].get<int>());
  EXPECT_EQ(
      "<Workflow_StartWorkflow><options><inputs><VestrumGUID>guid-e2e</VestrumGUID><FolderType>1"
      "</FolderType></inputs></options><outputFormat>0</outputFormat></Workflow_StartWorkflow>",
      setup[0]["body"].get<std::string>());

  std::string reportsGUID;
  std::string reportsPath;
  ASSERT_EQ(1,
            service.init("ann", "s3cr3t", "focus", "guid-e2e", reportsGUID, reportsPath, "", true));
  EXPECT_EQ("\\Reports\\guid-e2e", reportsPath);
}

TEST_F(FolderEmulatorTest, WrongPasswordFailsInitBeforeTheSetUp) {
  service.m_nRetryCount = 2;
  EXPECT_EQ(0, service.init("ann", "wrong", "focus", "g", folderGUID, folderPath, "", false));
  EXPECT_EQ(0, service.m_bInitialized);
  EXPECT_TRUE(emulator->journal("folder_setup").empty());
  EXPECT_NE(std::string::npos,
            env.logText().find(
                "Error: Failed to log in or set up the DR backup folder. Error Message [Error: The "
                "web console refused the login of user [ann]"));
}

TEST_F(FolderEmulatorTest, CreateDrFolderUnderTheDrFolderPath) {
  initService();
  std::string guid;
  std::string detail;
  ASSERT_EQ(1, service.CreateDRFolder("guid-e2e", "Set & 1", "Full Ü", guid, detail, message));
  EXPECT_FALSE(guid.empty());
  const json folders = emulator->folders();
  ASSERT_EQ(1u, folders.size()) << folders.dump();
  EXPECT_EQ("\\DRBackup\\guid-e2e\\Set & 1", folders[0]["parentPath"].get<std::string>());
  EXPECT_EQ("Full Ü", folders[0]["name"].get<std::string>());
  EXPECT_EQ(guid, folders[0]["folderGUID"].get<std::string>());
}

TEST_F(FolderEmulatorTest, UploadsOfEverySizeArriveIntact) {
  initService();
  const std::vector<long long> sizes = {0, 1, 3 * kMiB, kChunk, 10 * kMiB, 3 * kChunk + 1};
  for (size_t i = 0; i < sizes.size(); ++i) {
    emulator->reset();  // keeps the share handed out by init
    const std::string name = "file " + std::to_string(i) + " & ü.bin";
    const std::string data = uploadNew(name, sizes[i]);
    const json stored = emulator->files();
    ASSERT_EQ(1u, stored.size()) << name;
    EXPECT_EQ(name, stored[0]["name"].get<std::string>());
    EXPECT_EQ(folderPath + "\\Job 1", stored[0]["parentPath"].get<std::string>());
    EXPECT_EQ(sizes[i], stored[0]["size"].get<long long>());
    EXPECT_EQ("2024-06-01T08:00:00Z", stored[0]["modifiedTime"].get<std::string>());
    EXPECT_EQ(fileGUID, stored[0]["fileGUID"].get<std::string>());
    std::string content;
    ASSERT_EQ(0, base64Decode(stored[0]["content_base64"].get<std::string>(), content));
    EXPECT_TRUE(content == data) << name;
    EXPECT_EQ("upload", stored[0]["listener"].get<std::string>());

    std::vector<std::string> expected;
    if (sizes[i] <= kChunk) {
      expected = {"upload_session:" + std::to_string(sizes[i]), "offset_query:0:EOF"};
    } else if (sizes[i] == 10 * kMiB) {
      expected = {"upload_session:4194304", "upload_chunk:4194304", "upload_chunk:2097152:EOF"};
    } else {
      expected = {"upload_session:4194304", "upload_chunk:4194304", "upload_chunk:4194304",
                  "upload_chunk:1:EOF"};
    }
    EXPECT_EQ(expected, UploadShapes(emulator->journal())) << name;
  }
}

// Highest connection id (the emulator numbers every accepted connection,
// requests or not) among the journal's entries.
int LastConnection(const json& journal) {
  int last = 0;
  for (const json& e : journal) last = std::max(last, e.value("connection", 0));
  return last;
}

TEST_F(FolderEmulatorTest, SmallFilesReuseTheConnectionsToConsoleAndDrive) {
  initService();
  uploadNew("warm-up.bin", 10);
  const int before = LastConnection(emulator->journal());
  for (int i = 0; i < 5; ++i) uploadNew("small " + std::to_string(i) + ".bin", 4096 + i);
  const json pooled = emulator->journal();
  // Logins, upload sessions and offset queries of five files: not one new
  // connection, not even a reachability probe.
  EXPECT_EQ(LastConnection(pooled), before);
  EXPECT_GE(pooled.size(), 5u * 2u);

  env.setGlobal("bEnableZUCloudConnectionReuse", "false");
  uploadNew("unpooled.bin", 4096);
  // Each gateway of the file probes and then connects for its requests.
  EXPECT_GE(LastConnection(emulator->journal()) - before, 2 * 2);
}

TEST_F(FolderEmulatorTest, StoredChunkWithFailedReplyIsNotSentAgain) {
  initService();
  emulator->fault("upload_chunk", {{"fault", "store_then_500"}});
  const std::string data = uploadNew("a.bin", 10 * kMiB);
  EXPECT_EQ((std::vector<std::string>{"upload_session:4194304", "upload_chunk:4194304",
                                      "offset_query:0", "upload_chunk:2097152:EOF"}),
            UploadShapes(emulator->journal()));
  expectOnlyStoredFile(data);
}

TEST_F(FolderEmulatorTest, DroppedChunkIsResentWhole) {
  initService();
  emulator->fault("upload_chunk", {{"fault", "drop_then_500"}});
  const std::string data = uploadNew("b.bin", 10 * kMiB);
  EXPECT_EQ(
      (std::vector<std::string>{"upload_session:4194304", "upload_chunk:4194304", "offset_query:0",
                                "upload_chunk:4194304", "upload_chunk:2097152:EOF"}),
      UploadShapes(emulator->journal()));
  expectOnlyStoredFile(data);
}

TEST_F(FolderEmulatorTest, LastChunkConfirmedThroughTheOffsetQueryIsStoredWithItsGuid) {
  initService();
  // The 3 MiB file's last request is the empty one with "FileEOF": stored
  // (the file completes), then answered 500.
  emulator->fault("offset_query", {{"fault", "store_then_500"}});
  fileGUID = "untouched";
  const std::string data = uploadNew("c.bin", 3 * kMiB);
  EXPECT_EQ((std::vector<std::string>{"upload_session:3145728", "offset_query:0:EOF",
                                      "offset_query:0:EOF"}),
            UploadShapes(emulator->journal()));
  expectOnlyStoredFile(data);
  EXPECT_EQ(emulator->files()[0]["fileGUID"].get<std::string>(), fileGUID);
}

// The server resets (RST) the kept-alive connection as a chunk arrives,
// before a byte of its reply: like a lost reply, the next attempt goes at
// once (asking the held offset first), with no retry wait, and the file is
// stored.
TEST_F(FolderEmulatorTest, AResetReusedConnectionIsRetriedAtOnce) {
  initService();
  ScopedSleepRecorder sleeps;
  emulator->fault("upload_chunk", {{"fault", "reset"}, {"count", 1}});
  const std::string data = uploadNew("r.bin", 10 * kMiB);
  expectOnlyStoredFile(data);
  EXPECT_EQ(
      (std::vector<std::string>{"upload_session:4194304", "upload_chunk:4194304", "offset_query:0",
                                "upload_chunk:4194304", "upload_chunk:2097152:EOF"}),
      UploadShapes(emulator->journal()));
  EXPECT_TRUE(sleeps.waits().empty()) << sleeps.waits().size();
  EXPECT_NE(env.logText().find("Retrying at once: the connection, reused, closed before a byte "
                               "of the reply came, retry count [1]"),
            std::string::npos)
      << env.logText();
}

// The server carries the request out, then the connection closes before the
// first byte of its reply.
TEST_F(FolderEmulatorTest, ALostReplyToAMiddleChunk) {
  uploadWithLostReply("upload_chunk", 18 * kMiB + 5);
}

TEST_F(FolderEmulatorTest, ALostReplyToTheSessionRequest) {
  uploadWithLostReply("upload_session", 10 * kMiB);
}

// The file's only chunk request is its last (with "FileEOF").
TEST_F(FolderEmulatorTest, ALostReplyToTheLastChunk) {
  uploadWithLostReply("upload_chunk", kChunk + 5);
}

}  // namespace
}  // namespace zutest
