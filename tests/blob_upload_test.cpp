// The block upload engine against scripted gateways and an in-memory block
// store: block cutting and ids, the order of blocks, one Put Block in flight,
// retries, failure handling with the pool's termination, resource release,
// progress reports and the block limit; what a resume journal and a Get
// Block List reply must be to be believed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ZuUploadProgress.h"
#include "blob/engine/UploadPlan.h"
#include "blob/resume/Resume.h"
#include "blob/resume/ResumeJournal.h"
#include "blob/setup/FileInfo.h"
#include "blob/storage/BlobPath.h"
#include "blob/storage/BlockId.h"
#include "blob/storage/TokenRefresh.h"
#include "blob/storage/UncommittedBlocks.h"
#include "platform/crypto/EncryptionData.h"
#include "platform/crypto/KeyFile.h"
#include "platform/crypto/KeyWrap.h"
#include "platform/crypto/RegionLayout.h"
#include "platform/host/SequentialFile.h"
#include "platform/http/SendPacer.h"
#include "platform/log/EvDebug.h"
#include "platform/text/Base64.h"
#include "platform/text/FXString.h"
#include "support/BlobFakeCloud.h"
#include "support/Emulator.h"
#include "support/EncryptedBlob.h"
#include "support/EnvChange.h"
#include "support/FakeGateway.h"
#include "support/FileSeam.h"
#include "support/JournalText.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace {

using zutest::BlobServiceAccess;
using zutest::CountOccurrences;
using zutest::FakeRequest;

constexpr unsigned long long kMiB = 1048576;
constexpr const char* kStore = "https://store.test/devacct/c1";
constexpr const char* kToken = "sv=2020-04-08&sp=racwdl&sig=TOKSIG99";

struct ProgressLog {
  std::mutex mutex;
  std::vector<std::pair<unsigned long long, unsigned long long>> reports;
  std::set<std::string> names;
};

void RecordProgress(void* context, const char* fileName, unsigned long long sent,
                    unsigned long long total) {
  auto* log = static_cast<ProgressLog*>(context);
  std::lock_guard<std::mutex> lock(log->mutex);
  log->reports.emplace_back(sent, total);
  log->names.insert(fileName);
}

class BlobUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.setGlobal("DRBackupUploadBlobSize", "1");
    env_.setGlobal("DRBackupUploadStreamCount", "3");
    env_.setGlobal("DRBackupRetryCount", "2");
  }

  // A service ready to upload (what a successful set-up leaves behind).
  std::unique_ptr<BlobServiceAccess> makeService() {
    auto service = std::make_unique<BlobServiceAccess>();
    service->forceInitialized("http://console.test/webconsole", "ann", "s3cr3t");
    service->m_uploadURL = kStore;
    service->m_sasToken = kToken;
    return service;
  }

  std::vector<FakeRequest> requests(const std::string& kind) {
    return zutest::BlobRequests(fakes_.journal(), kind);
  }

  std::string writeFile(const std::string& name, const std::string& data) {
    zutest::WriteFile(files_.file(name), data);
    return name;
  }
  std::string dir() const { return files_.path() + "/"; }

  zutest::ServiceEnv env_;
  zutest::TempDir files_;
  zutest::ScopedFakeGateways fakes_;
  zutest::ScopedSleepRecorder sleeps_;
  zutest::BlobFakeCloud cloud_{fakes_.journal()};
};

TEST(BlockIds, NumbersArePaddedBase64AndUrlEncoded) {
  EXPECT_EQ(zu::blob::BlockNumberText(1), "000001");
  EXPECT_EQ(zu::blob::BlockNumberText(999999), "999999");
  EXPECT_EQ(zu::blob::BlockNumberText(1000000), "1000000");
  EXPECT_EQ(zu::blob::BlockId(1), "MDAwMDAx");
  EXPECT_EQ(zu::blob::BlockId(2), "MDAwMDAy");
  EXPECT_EQ(zu::blob::BlockId(50000), "MDUwMDAw");
  EXPECT_EQ(zu::blob::UrlEncodedBlockId("MDAwMDAx"), "MDAwMDAx");
  // Seven digits: twelve Base64 characters ending in "==", encoded as %3D.
  const std::string id = zu::blob::BlockId(1000000);
  EXPECT_EQ(id, "MTAwMDAwMA==");
  EXPECT_EQ(zu::blob::UrlEncodedBlockId(id), "MTAwMDAwMA%3D%3D");
  EXPECT_EQ(zu::blob::UrlEncodedBlockId("a+b/c"), "a%2Bb/c");

  // Tagged ids: 32 characters, no padding, the number still last.
  const std::string tag = zu::blob::NewUploadTag();
  EXPECT_TRUE(zu::blob::IsUploadTag(tag)) << tag;
  EXPECT_NE(tag, zu::blob::NewUploadTag());
  EXPECT_EQ(zu::blob::BlockId(3, "0123456789abcdef01"), "MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAz");
  for (const unsigned int n : {1u, 49999u, 50000u}) {
    const std::string tagged = zu::blob::BlockId(n, tag);
    EXPECT_EQ(tagged.size(), 32u);
    unsigned int number = 0;
    std::string found;
    ASSERT_TRUE(zu::blob::BlockNumberOfId(tagged, number, found)) << tagged;
    EXPECT_EQ(number, n);
    EXPECT_EQ(found, tag);
    ASSERT_TRUE(zu::blob::BlockNumberOfId(zu::blob::BlockId(n), number, found));
    EXPECT_EQ(number, n);
    EXPECT_EQ(found, "");
  }
  unsigned int number = 0;
  std::string found;
  for (const char* bad : {"", "MDAwMDAw", "not base64!", "QUJDREVGMDAwMDAx", "YWJjMDAwMDAx"}) {
    EXPECT_FALSE(zu::blob::BlockNumberOfId(bad, number, found)) << bad;
  }

  EXPECT_EQ(zu::blob::BlocksNeeded(0, kMiB), 0u);
  EXPECT_EQ(zu::blob::BlocksNeeded(1, kMiB), 1u);
  EXPECT_EQ(zu::blob::BlocksNeeded(2 * kMiB, kMiB), 2u);
  EXPECT_EQ(zu::blob::BlocksNeeded(2 * kMiB + 1, kMiB), 3u);
}

TEST(BlobPaths, EverySegmentIsEncodedAndUnstorableNamesAreRefused) {
  struct Row {
    std::string folder;
    std::string name;
    std::string path;  // "" when refused
  };
  const std::vector<Row> rows = {
      // Ordinary names keep their bytes.
      {"set-1/full", "db_01.bak", "/set-1/full/db_01.bak"},
      {"a", "x-y_z.~1", "/a/x-y_z.~1"},
      {"", "n.bak", "/n.bak"},
      {"/f/", "n.bak", "/f/n.bak"},
      {"a//b", "n.bak", "/a/b/n.bak"},
      {"f", ".hidden", "/f/.hidden"},
      // Awkward ones name exactly themselves.
      {"f", "f%41.bak", "/f/f%2541.bak"},
      {"f", "space name.bak", "/f/space%20name.bak"},
      {"f", "c#d.bak", "/f/c%23d.bak"},
      {"f", "q?x.bak", "/f/q%3Fx.bak"},
      {"f", "a&b+c=d;e.bak", "/f/a%26b%2Bc%3Dd%3Be.bak"},
      {"f", "\xC3\xBC.bak", "/f/%C3%BC.bak"},
      {"f", "back\\slash", "/f/back%5Cslash"},
      {"my folder/x", "n", "/my%20folder/x/n"},
      {"f", "sub/n.bak", "/f/sub/n.bak"},
      // Refused: leaving the folder or the container, or control bytes.
      {"../../other", "n.bak", ""},
      {"a/./b", "n.bak", ""},
      {"f", "..", ""},
      {"f", ".", ""},
      {"f", "sub/../n", ""},
      {"f", "", ""},
      {"f", std::string("nul\0x", 5), ""},
      {"f", "cr\rlf\n", ""},
      {"f\n", "n", ""},
      {"f", "del\x7F", ""},
      // At most 1,024 characters in all (a UTF-8 sequence is one).
      {std::string(1000, 'd'), std::string(23, 'n'),
       "/" + std::string(1000, 'd') + "/" + std::string(23, 'n')},
      {std::string(1000, 'd'), std::string(24, 'n'), ""},
      {"f",
       std::string(511, 'a') +
           [] {
             std::string u;
             for (int i = 0; i < 511; ++i) u += "\xC3\xBC";
             return u;
           }(),
       "/f/" + std::string(511, 'a') +
           [] {
             std::string u;
             for (int i = 0; i < 511; ++i) u += "%C3%BC";
             return u;
           }()},
      // Refused: a segment the service would store without its last dot,
      // and empty segments of the file name.
      {"f", "dot.", ""},
      {"f", "...", ""},
      {"dot./x", "n.bak", ""},
      {"f", "sub./n", ""},
      {"f", "sub//n", ""},
      {"f", "n/", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder + " | " + row.name);
    std::string path;
    std::string problem;
    const bool built = zu::blob::BuildBlobPath(row.folder, row.name, path, problem);
    EXPECT_EQ(built, !row.path.empty()) << problem;
    if (built) {
      EXPECT_EQ(path, row.path);
    } else {
      EXPECT_FALSE(problem.empty());
      const std::string message = zu::blob::RefusedNameMessage(row.name, problem);
      EXPECT_EQ(message.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << message;
    }
  }
}

TEST_F(BlobUpload, FilesOfEverySizeBecomeTheirBlocksInOrder) {
  ProgressLog progress;
  zuSetUploadProgressCallback(&RecordProgress, &progress);
  const unsigned long long sizes[] = {0, 1, kMiB + 1, 2 * kMiB, 5 * kMiB + 7};
  auto service = makeService();
  const auto before = zutest::ThreadsAndFds::Now();
  size_t expectedFiles = 0;
  for (unsigned long long size : sizes) {
    SCOPED_TRACE(size);
    const std::string name = "file-" + std::to_string(size) + ".bak";
    const std::string data = zutest::RandomBytes(size, 1);
    writeFile(name, data);
    {
      std::lock_guard<std::mutex> lock(progress.mutex);
      progress.reports.clear();
    }
    std::wstring message;
    ASSERT_EQ(service->UploadFile(dir(), name, "set1/full", message), 1)
        << std::string(message.begin(), message.end());
    ++expectedFiles;

    const std::string blob = std::string(kStore) + "/set1/full/" + name;
    const unsigned long long blocks = zu::blob::BlocksNeeded(size, kMiB);
    // Resume is on by default: every id carries the upload's tag.
    std::vector<unsigned int> numbers;
    for (unsigned int n = 1; n <= blocks; ++n) numbers.push_back(n);
    std::string tag;
    EXPECT_EQ(cloud_.committedNumbers(blob, tag), numbers);
    if (blocks > 0) {
      EXPECT_TRUE(zu::blob::IsUploadTag(tag)) << tag;
    }
    EXPECT_TRUE(cloud_.committedBytes(blob) == data);

    ASSERT_EQ(service->m_fileList.size(), expectedFiles);
    const FileInfo& record = *service->m_fileList.back();
    EXPECT_EQ(record.fileName, name);
    EXPECT_EQ(record.url, blob);
    EXPECT_EQ(record.fileSize, size);
    EXPECT_TRUE(record.uploaded);

    std::lock_guard<std::mutex> lock(progress.mutex);
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_EQ(progress.reports.front().first, 0u);
    EXPECT_EQ(progress.reports.back().first, size);
    EXPECT_EQ(progress.reports.size(), blocks + 1);
    for (size_t i = 1; i < progress.reports.size(); ++i) {
      EXPECT_GT(progress.reports[i].first, progress.reports[i - 1].first);
      EXPECT_EQ(progress.reports[i].second, size);
    }
  }
  zuSetUploadProgressCallback(nullptr, nullptr);

  EXPECT_EQ(cloud_.emptyPutBlocks(), 0);
  EXPECT_EQ(cloud_.maxPutBlocksInFlight(), 1);
  EXPECT_EQ(cloud_.putBlockCount(), 0 + 1 + 2 + 2 + 6);
  EXPECT_EQ(requests("block_list").size(), 5u);
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    EXPECT_EQ(fakes_.journal().deleted, fakes_.journal().gatewaysCreated);
  }
  EXPECT_TRUE(sleeps_.waits().empty());
  EXPECT_EQ(progress.names.size(), 5u);  // the empty file too, with "0 of 0"
}

// "DRBackupUploadMaxMbps" counts megabits per second (125000 bytes each),
// read by each upload; an upload without it lifts the cap again.
TEST_F(BlobUpload, TheRateCapSettingCountsMegabitsPerSecond) {
  writeFile("capped.bak", zutest::RandomBytes(3000, 1));
  auto service = makeService();
  std::wstring message;
  env_.setGlobal("DRBackupUploadMaxMbps", "8000");  // 10^9 bytes/s: no wait here
  ASSERT_EQ(service->UploadFile(dir(), "capped.bak", "f", message), 1);
  EXPECT_EQ(zu::SendPacer::Global().Rate(), 1000000000ull);
  env_.setGlobal("DRBackupUploadMaxMbps", "");
  ASSERT_EQ(service->UploadFile(dir(), "capped.bak", "f", message), 1);
  EXPECT_EQ(zu::SendPacer::Global().Rate(), 0ull);
}

// Asking the service which blocks it holds is one more retried request:
// at most "DRBackupRetryCount" attempts, like every other.
TEST_F(BlobUpload, GetBlockListIsTriedAtMostTheRetryCount) {
  env_.setGlobal("DRBackupRetryCount", "3");
  writeFile("again.bak", zutest::RandomBytes(3 * kMiB + 1, 2));
  auto service = makeService();
  cloud_.failBlockAlways(2);
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "again.bak", "f", message), 0);  // block 1 journalled
  auto blockListGets = [this] {
    int gets = 0;
    for (const FakeRequest& r : requests("block_list")) gets += r.method == "GET" ? 1 : 0;
    return gets;
  };
  ASSERT_EQ(blockListGets(), 0);
  cloud_.failAlways("block_list", true);
  EXPECT_EQ(service->UploadFile(dir(), "again.bak", "f", message), 0);
  EXPECT_EQ(blockListGets(), 3);
}

TEST_F(BlobUpload, PutBlockRequestsNameTheBlockAndTheTokenAndReuseASlotsGateway) {
  // Without resume the ids carry no upload tag: the requests are exactly
  // these.
  env_.setGlobal("bEnableZUCloudDRBackupResume", "false");
  writeFile("six.bak", zutest::RandomBytes(5 * kMiB + 7, 1));
  auto service = makeService();
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "six.bak", "f", message), 1);
  const std::vector<FakeRequest> puts = requests("put_block");
  ASSERT_EQ(puts.size(), 6u);
  std::set<int> gateways;
  for (size_t i = 0; i < puts.size(); ++i) {
    EXPECT_EQ(puts[i].method, "PUT");
    EXPECT_EQ(puts[i].url, std::string(kStore) + "/f/six.bak?comp=block&blockid=" +
                               zu::blob::BlockId(static_cast<unsigned int>(i + 1)) + "&" + kToken);
    EXPECT_TRUE(puts[i].headers.empty());
    EXPECT_EQ(puts[i].body.size(), i < 5 ? kMiB : 7u);
    gateways.insert(puts[i].gatewayId);
  }
  EXPECT_LE(gateways.size(), 3u);  // one per slot, reused

  const std::vector<FakeRequest> lists = requests("block_list");
  ASSERT_EQ(lists.size(), 1u);
  EXPECT_EQ(lists[0].url, std::string(kStore) + "/f/six.bak?comp=blocklist&" + kToken);
  EXPECT_TRUE(lists[0].headers.empty());
  EXPECT_EQ(
      lists[0].body,
      "<?xml version=\"1.0\" encoding=\"utf-8\"?> <BlockList><Uncommitted>MDAwMDAx</Uncommitted>"
      "<Uncommitted>MDAwMDAy</Uncommitted><Uncommitted>MDAwMDAz</Uncommitted>"
      "<Uncommitted>MDAwMDA0</Uncommitted><Uncommitted>MDAwMDA1</Uncommitted>"
      "<Uncommitted>MDAwMDA2</Uncommitted></BlockList>");

  const std::string log = env_.logText();
  EXPECT_EQ(log.find("TOKSIG99"), std::string::npos);
  EXPECT_NE(log.find("sig=REDACTED"), std::string::npos);
}

TEST_F(BlobUpload, APutBlockThatFailsTwiceThenSucceedsGivesTheSameBlob) {
  env_.setGlobal("DRBackupRetryCount", "3");
  const std::string data = zutest::RandomBytes(2 * kMiB + 5, 1);
  writeFile("r.bak", data);
  auto service = makeService();
  cloud_.failNext("put_block", 2);
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "r.bak", "f", message), 1);
  EXPECT_TRUE(cloud_.committedBytes(std::string(kStore) + "/f/r.bak") == data);
  EXPECT_EQ(cloud_.putBlockCount(), 5);
  EXPECT_EQ(sleeps_.waits(), (std::vector<unsigned int>{120000, 120000}));
  const std::string log = env_.logText();
  EXPECT_NE(
      log.find("Error: Failed to upload chunk to cloud for file [r.bak], chunk offset start: [0] "
               "end: [1048576]. Retrying after [120000] ms, retry count [2]"),
      std::string::npos);
  EXPECT_NE(log.find(". Upload attempt [2]. Curl Error Message [HTTP 500], Error response: ["),
            std::string::npos);
  EXPECT_EQ(cloud_.maxPutBlocksInFlight(), 1);
}

TEST_F(BlobUpload, ABlockFailingEveryAttemptTerminatesThePoolAndCommitsNothing) {
  env_.setGlobal("bEnableZUCloudDRBackupResume", "false");  // ids without a tag
  writeFile("bad.bak", zutest::RandomBytes(5 * kMiB + 7, 1));
  auto service = makeService();
  cloud_.failBlockAlways(2);
  const auto before = zutest::ThreadsAndFds::Now();
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "bad.bak", "f", message), 0);
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);

  EXPECT_TRUE(requests("block_list").empty());
  EXPECT_FALSE(cloud_.hasBlob(std::string(kStore) + "/f/bad.bak"));
  ASSERT_EQ(service->m_fileList.size(), 1u);
  EXPECT_FALSE(service->m_fileList[0]->uploaded);
  // Blocks 5 and 6 are never read: the producer stops at its next turn.
  for (const FakeRequest& r : requests("put_block")) {
    EXPECT_EQ(r.url.find("blockid=MDAwMDA1"), std::string::npos);
    EXPECT_EQ(r.url.find("blockid=MDAwMDA2"), std::string::npos);
  }
  const std::string log = env_.logText();
  EXPECT_NE(log.find("Terminate Thread is being Called, just passed index [0]."),
            std::string::npos);
  // Which slot carried block 2 depends on whether block 1's slot was back
  // before the producer read it.
  const bool slot0 =
      log.find("Error: bAnyChunkUploadFailed is set by blob index [0], block id [2]") !=
      std::string::npos;
  const bool slot1 =
      log.find("Error: bAnyChunkUploadFailed is set by blob index [1], block id [2]") !=
      std::string::npos;
  EXPECT_TRUE(slot0 != slot1);
  EXPECT_NE(log.find("Failed chunk start offset: [1048576], end offset: [2097152]. Total retry "
                     "attemp: [2], API URL ["),
            std::string::npos);
  EXPECT_EQ(sleeps_.waits(), (std::vector<unsigned int>{120000, 120000}));
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    EXPECT_EQ(fakes_.journal().deleted, fakes_.journal().gatewaysCreated);
  }
  EXPECT_EQ(cloud_.maxPutBlocksInFlight(), 1);

  // The service is usable again afterwards.
  writeFile("good.bak", zutest::RandomBytes(3, 1));
  EXPECT_EQ(service->UploadFile(dir(), "good.bak", "f", message), 1);
}

// Once a block failed for good no uploader sends again, not even one whose
// request was in flight at that moment and then failed: blocks 1 and 3 are
// held until block 2 has failed for good, then refused, and every Put Block
// after that is counted.
TEST_F(BlobUpload, NoBlockIsSentOnceAnotherFailedForGood) {
  env_.setGlobal("DRBackupUploadParallelBlocks", "3");
  const std::string data = zutest::RandomBytes(6 * kMiB, 5);
  writeFile("held.bak", data);
  auto service = makeService();
  const std::string failing = data.substr(kMiB, kMiB);  // block 2, known by its bytes
  std::mutex mutex;
  std::condition_variable changed;
  int held = 0;
  int sentAfter = 0;
  const zutest::FakeReply refused{1, "<Error><Code>InternalError</Code></Error>", 500, "HTTP 500"};
  auto failedForGood = [this] {
    return env_.logText().find("bAnyChunkUploadFailed is set") != std::string::npos;
  };
  auto inner = fakes_.journal().responder;
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    fakes_.journal().responder = [&](const FakeRequest& r) {
      if (zutest::BlobRequestKind(r.url) != "put_block") return inner(r);
      std::unique_lock<std::mutex> lock(mutex);
      if (r.body == failing) {  // fails only once both others are in flight
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return held == 2; });
        return refused;
      }
      if (failedForGood()) {
        ++sentAfter;
        return refused;
      }
      ++held;
      changed.notify_all();
      lock.unlock();
      for (int i = 0; i < 5000 && !failedForGood(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return refused;
    };
  }
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "held.bak", "f", message), 0);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(held, 2);
  EXPECT_EQ(sentAfter, 0);
  EXPECT_TRUE(requests("block_list").empty());
}

// The producer holds the turn while it reads: a read error must hand it
// back, or the upload waits for ever.
TEST_F(BlobUpload, AReadErrorPartWayEndsTheUploadWithAMessageAndCommitsNothing) {
  writeFile("eio.bak", zutest::RandomBytes(5 * kMiB + 7, 1));
  auto service = makeService();
  const auto before = zutest::ThreadsAndFds::Now();
  std::wstring message;
  int result = -1;
  {
    zutest::ScopedReadFailure failing(2 * kMiB);  // the third block
    zutest::RunBounded(
        "an upload whose third block cannot be read",
        [&] { result = service->UploadFile(dir(), "eio.bak", "f", message); },
        std::chrono::seconds(60));
    EXPECT_EQ(failing.failedReads(), 1);
  }
  EXPECT_EQ(result, 0);
  EXPECT_NE(message.find(L"Error: Failed to upload file [eio.bak] to cloud"), std::wstring::npos);
  EXPECT_TRUE(requests("block_list").empty());
  EXPECT_FALSE(cloud_.hasBlob(std::string(kStore) + "/f/eio.bak"));
  EXPECT_LE(requests("put_block").size(), 2u);
  EXPECT_NE(
      env_.logText().find("Error: Failed to read file [" + dir() + "eio.bak] at offset [2097152]."),
      std::string::npos);
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);
}

TEST_F(BlobUpload, TheLastBlockFailingAfterReadingEndedStillPreventsTheCommit) {
  writeFile("two.bak", zutest::RandomBytes(2 * kMiB, 1));
  auto service = makeService();
  cloud_.failBlockAlways(2);
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "two.bak", "f", message), 0);
  EXPECT_TRUE(requests("block_list").empty());
  EXPECT_FALSE(service->m_fileList[0]->uploaded);
}

TEST_F(BlobUpload, ASlotWithoutAGatewayStopsTheUpload) {
  writeFile("g.bak", zutest::RandomBytes(kMiB + 1, 1));
  auto service = makeService();
  fakes_.journal().connectResult = 1;
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "g.bak", "f", message), 0);
  EXPECT_TRUE(requests("").empty());
  EXPECT_NE(
      env_.logText().find("Error: Failed to initialize ZuInternetGateway, failed to upload chunk "
                          "to cloud for file [g.bak], Index [0]"),
      std::string::npos);
  EXPECT_FALSE(service->m_fileList[0]->uploaded);
}

// A file that cannot be opened (missing, gone since it was listed,
// unreadable, a folder, a folder given without its '/') is refused before
// any request, without a record, with the path the service joined and the
// reason in the caller's message.
TEST_F(BlobUpload, AFileThatCannotBeOpenedIsRefusedWithItsPathAndTheReason) {
  writeFile("locked.bak", "x");
  ASSERT_EQ(0, chmod((dir() + "locked.bak").c_str(), 0));
  ASSERT_EQ(0, mkdir((dir() + "sub").c_str(), 0700));
  writeFile("gone.bak", "x");
  ASSERT_EQ(0, unlink((dir() + "gone.bak").c_str()));
  const std::string noSlash = dir().substr(0, dir().size() - 1);
  struct Row {
    std::string folder;
    const char* name;
    std::string message;
    bool asRoot;  // root reads any file
  };
  const std::vector<Row> rows = {
      {dir(), "absent.bak",
       "Error: Cannot open file [" + dir() + "absent.bak] to upload it: No such file or directory.",
       true},
      {dir(), "gone.bak",
       "Error: Cannot open file [" + dir() + "gone.bak] to upload it: No such file or directory.",
       true},
      {noSlash, "absent.bak",
       "Error: Cannot open file [" + noSlash +
           "absent.bak] to upload it: No such file or directory. The folder [" + noSlash +
           "] and the file name are joined as given: end the folder with '/'.",
       true},
      {dir(), "sub", "Error: Cannot open file [" + dir() + "sub] to upload it: Is a directory.",
       true},
      {dir(), "locked.bak",
       "Error: Cannot open file [" + dir() + "locked.bak] to upload it: Permission denied.", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.asRoot && geteuid() == 0) continue;
    auto service = makeService();
    std::wstring message;
    EXPECT_EQ(service->UploadFile(row.folder, row.name, "f", message), 0);
    EXPECT_EQ(FXString::ToString(message), row.message);
    EXPECT_TRUE(service->m_fileList.empty());
    EXPECT_TRUE(requests("").empty());
  }
}

// A commit storage carried out whose reply was lost is found in the blob's
// committed block list instead of being sent again and refused for good.
TEST_F(BlobUpload, ACommitWhoseReplyWasLostIsFoundCommitted) {
  struct Row {
    const char* what;
    zutest::FakeReply reply;  // instead of 201, after the commit
    size_t commits;           // Put Block Lists sent
    size_t waits;
  };
  const Row rows[] = {
      {"no reply", {52, "", 0, "curl error 52: no reply"}, 1, 0},
      // Storage committed, something between answered 500: the resend is
      // refused with InvalidBlockList.
      {"500 after the commit", {500, "", 500, "HTTP status 500"}, 2, 1},
  };
  auto service = makeService();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "lost-" + std::to_string(row.commits) + ".bak";
    const std::string data = zutest::RandomBytes(2 * kMiB + 5, 3);
    writeFile(name, data);
    const size_t commitsBefore = requests("block_list").size();
    const size_t waitsBefore = sleeps_.waits().size();
    cloud_.replaceCommitReplies(1, row.reply, true);
    std::wstring message;
    ASSERT_EQ(service->UploadFile(dir(), name, "f", message), 1)
        << std::string(message.begin(), message.end());
    EXPECT_TRUE(service->m_fileList.back()->uploaded);
    EXPECT_TRUE(cloud_.committedBytes(std::string(kStore) + "/f/" + name) == data);
    EXPECT_EQ(requests("block_list").size() - commitsBefore, row.commits);
    EXPECT_EQ(sleeps_.waits().size() - waitsBefore, row.waits);
  }
  EXPECT_EQ(requests("committed_list").size(), 2u);
  EXPECT_EQ(CountOccurrences(env_.logText(),
                             "was found committed although the reply to its "
                             "commit was lost"),
            2u);
}

// How long a doomed file waits at the default retry count (30): storage
// answering 500 to every Put Block, or to every Put Block List, costs 30
// attempts each followed by 120 s (docs/operations.md, "How long a doomed
// file can take").
TEST_F(BlobUpload, ADoomedFileWaitsAnHourAtTheDefaultRetryCount) {
  env_.setGlobal("DRBackupRetryCount", "30");
  writeFile("doomed.bak", zutest::RandomBytes(2 * kMiB, 4));
  size_t before = 0;
  for (const char* kind : {"put_block", "block_list"}) {
    SCOPED_TRACE(kind);
    auto service = makeService();
    cloud_.refuseStorage(kind, 500, "InternalError");
    std::wstring message;
    EXPECT_EQ(service->UploadFile(dir(), "doomed.bak", "f", message), 0);
    const std::vector<unsigned int> waits = sleeps_.waits();
    EXPECT_EQ(std::vector<unsigned int>(waits.begin() + static_cast<long>(before), waits.end()),
              std::vector<unsigned int>(30, 120000));
    before = waits.size();
    cloud_.refuseStorage("none", 0, "");  // no request is of that kind
  }
}

// Blocks another commit took away (a resend refused with InvalidBlockList,
// and a committed list that is not this upload's): no further resend, however
// many attempts are left.
TEST_F(BlobUpload, ABlockListWhoseBlocksAreGoneFailsAtOnce) {
  env_.setGlobal("DRBackupRetryCount", "30");
  writeFile("taken.bak", zutest::RandomBytes(2 * kMiB + 5, 4));
  auto service = makeService();
  const std::string blob = std::string(kStore) + "/f/taken.bak";
  auto inner = fakes_.journal().responder;
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(fakes_.journal().mutex);
    fakes_.journal().responder = [&](const FakeRequest& r) {
      if (taken || zutest::BlobRequestKind(r.url) != "block_list" || r.method != "PUT") {
        return inner(r);
      }
      // Another upload commits the first block alone; this commit fails.
      taken = true;
      const size_t start = r.body.find("<Uncommitted>") + 13;
      cloud_.commitStaged(blob, {r.body.substr(start, r.body.find('<', start) - start)});
      return zutest::FakeReply{500, "", 500, "HTTP status 500"};
    };
  }
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "taken.bak", "f", message), 0);
  EXPECT_TRUE(zutest::MessageStartsWith(
      message,
      L"Error: Failed to upload file [taken.bak] to cloud: storage refused its block "
      L"list because it no longer holds the file's blocks uncommitted, and the blob's "
      L"committed block list is not this upload's."));
  EXPECT_EQ(requests("block_list").size(), 2u);
  EXPECT_EQ(requests("committed_list").size(), 1u);
  EXPECT_EQ(sleeps_.waits(), std::vector<unsigned int>{120000});
  EXPECT_FALSE(service->m_fileList[0]->uploaded);
}

// "bEnableZUCloudDRBackupVerify": one Get Blob Properties after the commit
// (blocks or one Put Blob); a blob whose length or Content-MD5 is not the
// file's fails the upload. The request is tried at most three times. An
// encrypted file's blob is of its stored length (28 bytes a region more).
TEST_F(BlobUpload, VerifyChecksTheStoredLengthAndMd5) {
  const unsigned long long size = 2 * kMiB + 5;
  const std::string keyFile = zutest::WriteKeyFile(files_.file("kek.json"), "unit-kek");
  const std::string otherMd5 = "1B2M2Y8AsgTpgAmY7PhCfg==";
  struct Row {
    const char* what;
    bool verify;
    bool md5;
    bool single;
    std::string length;  // reported instead of the stored one ("" none)
    std::string md5Seen;
    int failedReads;
    int result;
    size_t reads;
    std::string message;       // part of the caller's message on failure
    const char* refused = "";  // every read refused 403 with this code
    int setUps = 0;            // fresh tokens asked for
    bool encrypted = false;    // "DRBackupEncryptionKeyFile" set
  };
  const std::vector<Row> rows = {
      {"off: nothing is read", false, false, false, "3", "", 0, 1, 0, ""},
      {"blocks", true, false, false, "", "", 0, 1, 1, ""},
      {"blocks with MD5", true, true, false, "", "", 0, 1, 1, ""},
      {"one Put Blob with MD5", true, true, true, "", "", 0, 1, 1, ""},
      {"length differs", true, false, false, "3", "", 0, 0, 1,
       "the stored blob does not match the file: its length is 3 bytes, the file's 2097157"},
      {"length differs, one Put Blob", true, true, true, "2097158", "", 0, 0, 1,
       "its length is 2097158 bytes, the file's 2097157"},
      {"MD5 differs", true, true, false, "", otherMd5, 0, 0, 1,
       "the stored blob does not match the file: its Content-MD5 is " + otherMd5 + ", the file's "},
      {"MD5 differs, one Put Blob", true, true, true, "", otherMd5, 0, 0, 1,
       "its Content-MD5 is " + otherMd5},
      {"read at the third attempt", true, false, false, "", "", 2, 1, 3, ""},
      {"unreadable three times", true, false, false, "", "", 3, 0, 3,
       "its blob was stored but could not be verified (HTTP 500)"},
      // A write-only token: no fresh token, the file fails saying why.
      {"no read permission", true, false, false, "", "", 0, 0, 1,
       "its blob was stored but cannot be verified: the SAS token has no read permission (403 "
       "AuthorizationPermissionMismatch), which bEnableZUCloudDRBackupVerify needs.",
       "AuthorizationPermissionMismatch"},
      {"no read permission, one Put Blob", true, true, true, "", "", 0, 0, 1,
       "the SAS token has no read permission", "AuthorizationPermissionMismatch"},
      {"encrypted: the stored length", true, true, false, "", "", 0, 1, 1, "", "", 0, true},
      {"encrypted: the plain length, 28 bytes short", true, false, false, "2097157", "", 0, 0, 1,
       "its length is 2097157 bytes, the file's 2097185", "", 0, true},
      {"another 403: a fresh token is asked for", true, false, false, "", "", 0, 0, 2,
       "403 AuthorizationFailure: the token was refused again after a refresh",
       "AuthorizationFailure", 1},
  };
  auto service = makeService();
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.what);
    env_.setGlobal("bEnableZUCloudDRBackupVerify", row.verify ? "true" : "false");
    env_.setGlobal("bEnableZUCloudDRBackupContentMD5", row.md5 ? "true" : "false");
    env_.setGlobal("DRBackupUploadSingleRequestMiB", row.single ? "4" : "0");
    env_.setGlobal("DRBackupEncryptionKeyFile", row.encrypted ? keyFile : "");
    cloud_.reportedLength = row.length;
    cloud_.reportedMd5 = row.md5Seen;
    cloud_.failNext("properties", row.failedReads);
    cloud_.refuseStorage(row.refused[0] != '\0' ? "reads" : "none", 403, row.refused);
    const std::string name = "verify-" + std::to_string(i) + ".bak";
    writeFile(name, zutest::RandomBytes(static_cast<long long>(size), 5));
    const size_t readsBefore = requests("properties").size();
    const int setUpsBefore = cloud_.setUpCount();
    std::wstring message;
    EXPECT_EQ(service->UploadFile(dir(), name, "f", message), row.result);
    EXPECT_EQ(cloud_.setUpCount() - setUpsBefore, row.setUps);
    EXPECT_EQ(service->m_fileList.back()->uploaded, row.result == 1);
    const std::vector<FakeRequest> reads = requests("properties");
    EXPECT_EQ(reads.size() - readsBefore, row.reads);
    if (row.reads > 0) {
      // The first read with the set-up's token (a fresh one reads last).
      EXPECT_EQ(reads[readsBefore].url, std::string(kStore) + "/f/" + name + "?" + kToken);
    }
    if (row.result == 0) {
      EXPECT_NE(message.find(FXString::ToWstring(row.message)), std::wstring::npos)
          << std::string(message.begin(), message.end());
    }
  }
  EXPECT_EQ(requests("put_blob").size(), 4u);
}

// The value of request header `name`, "" when the request has none.
std::string RequestHeader(const FakeRequest& request, const std::string& name) {
  for (const auto& header : request.headers) {
    if (header.name == name) return header.value;
  }
  return "";
}

// With "DRBackupEncryptionKeyFile" every file, in blocks or in one Put Blob,
// is stored as its sealed regions under a content key of its own, in blocks
// of whole regions, and the request that commits it carries the encryption
// data that restores it; the completion reports the stored length.
TEST_F(BlobUpload, EncryptedFilesAreStoredSealedWithTheKeyThatRestoresThem) {
  const std::string keyFile = zutest::WriteKeyFile(files_.file("kek.json"), "unit-kek");
  env_.setGlobal("DRBackupEncryptionKeyFile", keyFile);
  const unsigned long long k4 = 4 * kMiB;
  const struct {
    unsigned long long size;
    int singleRequestMiB;  // 0: blocks (of 4 MiB: 1 MiB raised to a region)
  } rows[] = {{0, 0},      {1, 0},          {k4 - 1, 0}, {k4, 0},
              {k4 + 1, 0}, {2 * k4 + 5, 0}, {0, 1},      {kMiB, 1}};
  auto service = makeService();
  std::set<std::string> wrappedKeys;
  for (const auto& row : rows) {
    const std::string name =
        "enc-" + std::to_string(row.size) + "-" + std::to_string(row.singleRequestMiB) + ".bak";
    SCOPED_TRACE(name);
    env_.setGlobal("DRBackupUploadSingleRequestMiB", std::to_string(row.singleRequestMiB));
    const std::string data = zutest::RandomBytes(row.size, 7);
    writeFile(name, data);
    std::wstring message;
    ASSERT_EQ(service->UploadFile(dir(), name, "f", message), 1)
        << std::string(message.begin(), message.end());
    const std::string blob = std::string(kStore) + "/f/" + name;
    const std::vector<FakeRequest> commits =
        requests(row.singleRequestMiB > 0 ? "put_blob" : "block_list");
    ASSERT_FALSE(commits.empty());
    const std::string metadata = RequestHeader(commits.back(), "x-ms-meta-encryptiondata");
    const std::string wrapped = zutest::WrappedKeyOf(metadata);
    EXPECT_EQ(metadata, zu::EncryptionDataJson("unit-kek", wrapped));
    EXPECT_TRUE(wrappedKeys.insert(wrapped).second) << "a content key of its own";
    const std::string stored = cloud_.committedBytes(blob);
    EXPECT_EQ(stored.size(), zu::StoredLength(row.size));
    std::string plain;
    std::string contentKey;
    ASSERT_TRUE(zutest::OpenStoredBlob(keyFile, metadata, stored, plain, contentKey));
    EXPECT_TRUE(plain == data);
    if (row.singleRequestMiB == 0) {
      std::string tag;
      EXPECT_EQ(cloud_.committedNumbers(blob, tag).size(), zu::blob::BlocksNeeded(row.size, k4));
    }
    EXPECT_EQ(service->m_fileList.back()->fileSize, zu::StoredLength(row.size));
  }
  EXPECT_EQ(cloud_.emptyPutBlocks(), 0);
}

// An encrypted upload's journal keeps its content key only wrapped. Resumed
// with the same key-encryption key, the upload takes that content key and
// sends only the blocks storage lacks; under another key, or from a journal
// without one, it makes a fresh key and sends the whole file.
TEST_F(BlobUpload, AnEncryptedUploadResumesOnlyUnderItsOwnKey) {
  const std::string keyFile = files_.file("kek.json");
  const std::string otherKey(64, 'a');
  const struct {
    const char* what;
    std::string firstKid;  // "" the first try is not encrypted
    std::string secondKid;
    std::string secondKey;
    int secondPutBlocks;
    const char* logged;
    // Changes the journal between the tries, given the first row's journal.
    std::function<std::string(const std::string& journal, const std::string& other)> tamper;
  } rows[] = {
      {"same key", "kek-1", "kek-1", zutest::kTestKeyHex, 1, "[2] of [3] blocks", nullptr},
      {"another key", "kek-1", "kek-2", otherKey, 3, "encrypted under another key", nullptr},
      {"the same kid, another key", "kek-1", "kek-1", otherKey, 3, "its MAC does not verify",
       nullptr},
      {"not encrypted before", "", "kek-1", zutest::kTestKeyHex, 3, "without encryption", nullptr},
      {"key line of another file's journal", "kek-1", "kek-1", zutest::kTestKeyHex, 3,
       "its MAC does not verify",
       [](const std::string& journal, const std::string& other) {
         return zutest::WithLine(journal, "key ", zutest::LineOf(other, "key "));
       }},
      {"key line cut short", "kek-1", "kek-1", zutest::kTestKeyHex, 3, "its MAC does not verify",
       [](const std::string& journal, const std::string&) {
         const std::string key = zutest::LineOf(journal, "key ");
         return zutest::WithLine(journal, "key ", key.substr(0, key.size() - 4));
       }},
      {"content key re-wrapped", "kek-1", "kek-1", zutest::kTestKeyHex, 3,
       "its MAC does not verify",
       [&keyFile](const std::string& journal, const std::string&) {
         zu::KeyEncryptionKey kek;
         std::string reason;
         EXPECT_TRUE(zu::LoadKeyEncryptionKey(keyFile, kek, reason)) << reason;
         zu::ContentKey other;
         EXPECT_TRUE(zu::MakeContentKey(other));
         const std::string key = zutest::LineOf(journal, "key ");
         return zutest::WithLine(
             journal, "key ", key.substr(0, key.rfind(' ') + 1) + zu::WrapContentKey(kek, other));
       }},
      {"another file's journal", "kek-1", "kek-1", zutest::kTestKeyHex, 3,
       "its MAC does not verify",
       [](const std::string& journal, const std::string& other) {
         return zutest::WithLine(zutest::WithLine(other, "url ", zutest::LineOf(journal, "url ")),
                                 "file ", zutest::LineOf(journal, "file "));
       }},
      {"version 3, no mac line", "kek-1", "kek-1", zutest::kTestKeyHex, 3,
       "whose journals carried no MAC over the content key",
       [](const std::string& journal, const std::string&) {
         std::string text = zutest::WithLine(journal, "mac ", "");
         text.erase(text.find("\n\n"), 1);
         return text.replace(text.find("journal 4"), 9, "journal 3");
       }},
  };
  env_.setGlobal("DRBackupUploadBlobSize", "4");  // the blocks of both kinds of upload
  auto service = makeService();
  std::string firstJournal;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "resume-" + std::to_string(&row - rows) + ".bak";
    const std::string data = zutest::RandomBytes(8 * kMiB + 3, 5);
    writeFile(name, data);
    zutest::WriteKeyFile(keyFile, row.firstKid.empty() ? "none" : row.firstKid);
    env_.setGlobal("DRBackupEncryptionKeyFile", row.firstKid.empty() ? "" : keyFile);
    cloud_.failBlockAlways(3);
    std::wstring message;
    EXPECT_EQ(service->UploadFile(dir(), name, "f", message), 0);
    const std::string journal = zutest::ReadFile(
        env_.stateDir() + "/" + zu::blob::JournalFileName(std::string(kStore) + "/f/" + name));
    ASSERT_NE(journal.find("\nblock 2 "), std::string::npos) << journal;
    if (firstJournal.empty()) firstJournal = journal;
    if (row.tamper) {
      zutest::WriteFile(
          env_.stateDir() + "/" + zu::blob::JournalFileName(std::string(kStore) + "/f/" + name),
          row.tamper(journal, firstJournal));
    }

    cloud_.failBlockAlways(0);
    zutest::WriteKeyFile(keyFile, row.secondKid, row.secondKey);
    env_.setGlobal("DRBackupEncryptionKeyFile", keyFile);
    const int putBlocksBefore = cloud_.putBlockCount();
    const size_t logStart = env_.logText().size();
    ASSERT_EQ(service->UploadFile(dir(), name, "f", message), 1)
        << std::string(message.begin(), message.end());
    EXPECT_EQ(cloud_.putBlockCount() - putBlocksBefore, row.secondPutBlocks);
    EXPECT_NE(env_.logText().find(row.logged, logStart), std::string::npos);
    const std::string metadata =
        RequestHeader(requests("block_list").back(), "x-ms-meta-encryptiondata");
    std::string plain;
    std::string contentKey;
    ASSERT_TRUE(zutest::OpenStoredBlob(keyFile, metadata,
                                       cloud_.committedBytes(std::string(kStore) + "/f/" + name),
                                       plain, contentKey));
    EXPECT_TRUE(plain == data);
    if (row.firstKid.empty()) continue;
    if (row.secondPutBlocks == 3) {
      // Sent whole under a fresh content key: neither this journal's nor the
      // first row's.
      const std::string wrappedNow = zutest::WrappedKeyOf(metadata);
      EXPECT_EQ(journal.find(wrappedNow), std::string::npos);
      EXPECT_EQ(firstJournal.find(wrappedNow), std::string::npos);
      EXPECT_EQ(zutest::CountOccurrences(env_.logText().substr(logStart), "Warning: "), 1u);
    }
    // The first try's journal named this very content key, wrapped only.
    EXPECT_NE(journal.find(" " + zu::Base64OneLine(row.firstKid) + " "), std::string::npos);
    if (row.secondPutBlocks == 1) {
      EXPECT_NE(journal.find(zutest::WrappedKeyOf(metadata) + "\n"), std::string::npos);
      std::string raw;
      for (size_t i = 0; i < contentKey.size(); i += 2) {
        raw += static_cast<char>(std::stoi(contentKey.substr(i, 2), nullptr, 16));
      }
      for (const std::string& clear : {contentKey, raw, zu::Base64OneLine(raw)}) {
        EXPECT_EQ(journal.find(clear), std::string::npos);
      }
    }
  }
}

TEST(UploadPlans, BlockSizeAndSlotsFollowTheFileAndTheBudget) {
  constexpr unsigned long long kGiB = 1024 * kMiB;
  struct Row {
    unsigned long long fileSize;
    unsigned long long blockSize;  // configured
    long long streams;
    int parallel;
    bool fits;
    unsigned long long plannedBlock;
    int slots;
    int inFlight;
    unsigned long long buffer;
    bool encrypted = false;
  };
  // An encrypted block is whole regions of 4 MiB; its buffer holds their
  // stored length (28 bytes more per region).
  constexpr unsigned long long k4 = 4 * kMiB;
  auto stored = [](unsigned long long plain) { return zu::StoredLength(plain); };
  const std::vector<Row> rows = {
      // Small files: one slot, a buffer no larger than the file.
      {0, 16 * kMiB, 10, 1, true, 16 * kMiB, 1, 1, 0},
      {4096, 16 * kMiB, 10, 1, true, 16 * kMiB, 1, 1, 4096},
      {40 * kMiB, 16 * kMiB, 10, 4, true, 16 * kMiB, 3, 3, 16 * kMiB},
      // Files that fit keep the configured size and every slot.
      {1 * kGiB, 16 * kMiB, 10, 1, true, 16 * kMiB, 10, 1, 16 * kMiB},
      {50000 * 16 * kMiB, 16 * kMiB, 10, 10, true, 16 * kMiB, 10, 10, 16 * kMiB},
      // One byte more: 17 MiB blocks; 10 x 16 MiB hold 9 of them, the 32 MiB
      // allowance buys the tenth for 10 blocks in flight.
      {50000 * 16 * kMiB + 1, 16 * kMiB, 10, 10, true, 17 * kMiB, 10, 10, 17 * kMiB},
      {50000 * 16 * kMiB + 1, 16 * kMiB, 10, 1, true, 17 * kMiB, 9, 1, 17 * kMiB},
      // 4 TiB at 16 MiB: 84 MiB blocks, 192 MiB of budget holds 2 of them.
      {4096 * kGiB, 16 * kMiB, 10, 4, true, 84 * kMiB, 2, 2, 84 * kMiB},
      // 50 GiB at 1 MiB, 10 streams: 2 MiB blocks in the same 10 MiB of slots.
      {50 * kGiB, kMiB, 10, 1, true, 2 * kMiB, 5, 1, 2 * kMiB},
      // 1 MiB blocks, 3 streams: 50,001 MiB needs 2 MiB blocks; 3 MiB hold
      // one, the allowance a second for reading while one is sent.
      {50001 * kMiB, kMiB, 3, 1, true, 2 * kMiB, 2, 1, 2 * kMiB},
      {50001 * kMiB, kMiB, 3, 3, true, 2 * kMiB, 3, 3, 2 * kMiB},
      // Past the budget even for one slot: still one.
      {190 * 1024 * kGiB, kMiB, 1, 1, true, 3985 * kMiB, 1, 1, 3985 * kMiB},
      // The largest blob: 50,000 blocks of 4000 MiB; one byte more cannot fit.
      {50000 * 4000 * kMiB, 16 * kMiB, 10, 1, true, 4000 * kMiB, 1, 1, 4000 * kMiB},
      {50000 * 4000 * kMiB + 1, 16 * kMiB, 10, 1, false, 0, 0, 0, 0},
      // Encrypted: sizes below, at and above 4 MiB become whole regions; a
      // raised size keeps to the budget (3 x the configured size, and the
      // allowance for one slot per block in flight and one being read).
      {10 * kMiB, kMiB, 3, 1, true, k4, 2, 1, stored(k4), true},
      {10 * kMiB, kMiB, 3, 3, true, k4, 3, 3, stored(k4), true},
      {10 * kMiB, k4 - 1, 3, 1, true, k4, 2, 1, stored(k4), true},
      {10 * kMiB, k4, 3, 1, true, k4, 3, 1, stored(k4), true},
      {10 * kMiB, k4 + 1, 3, 1, true, 2 * k4, 2, 1, stored(2 * k4), true},
      // 10 streams of 1 MiB: 10 MiB and the 32 MiB allowance hold 10 slots
      // of 4 MiB for 10 blocks in flight, 2 for one.
      {1024 * kMiB, kMiB, 10, 10, true, k4, 10, 10, stored(k4), true},
      {1024 * kMiB, kMiB, 10, 1, true, k4, 2, 1, stored(k4), true},
      {16 * kMiB, 16 * kMiB, 10, 1, true, 16 * kMiB, 1, 1, stored(16 * kMiB), true},
      {k4 - 1, 16 * kMiB, 10, 1, true, 16 * kMiB, 1, 1, stored(k4 - 1), true},
      {0, 16 * kMiB, 10, 1, true, 16 * kMiB, 1, 1, 0, true},
      // Past 50,000 blocks: whole regions too (17 MiB would do unencrypted).
      {50000 * 16 * kMiB + 1, 16 * kMiB, 10, 1, true, 20 * kMiB, 8, 1, stored(20 * kMiB), true},
      // The largest encrypted block stores 999 regions within 4000 MiB.
      {50000 * 3996 * kMiB, 16 * kMiB, 10, 1, true, 3996 * kMiB, 1, 1, stored(3996 * kMiB), true},
      {50000 * 3996 * kMiB + 1, 16 * kMiB, 10, 1, false, 0, 0, 0, 0, true},
      // A configured size past the service's largest block is lowered to it
      // (whole regions within it when encrypted); at it, it stays.
      {8000 * kMiB, 4000 * kMiB, 2, 1, true, 4000 * kMiB, 2, 1, 4000 * kMiB},
      {8000 * kMiB, 4001 * kMiB, 2, 1, true, 4000 * kMiB, 2, 1, 4000 * kMiB},
      {8000 * kMiB, 4000 * kMiB + 1, 2, 1, true, 4000 * kMiB, 2, 1, 4000 * kMiB},
      {8000 * kMiB, 3996 * kMiB, 2, 1, true, 3996 * kMiB, 2, 1, stored(3996 * kMiB), true},
      {8000 * kMiB, 3996 * kMiB + 1, 2, 1, true, 3996 * kMiB, 2, 1, stored(3996 * kMiB), true},
      {8000 * kMiB, 4000 * kMiB, 2, 1, true, 3996 * kMiB, 2, 1, stored(3996 * kMiB), true},
      {kMiB, 65536 * kMiB, 2, 1, true, 4000 * kMiB, 1, 1, kMiB},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.fileSize) + " bytes at " + std::to_string(row.blockSize));
    SCOPED_TRACE(row.encrypted ? "encrypted" : "not encrypted");
    const zu::blob::UploadPlan plan =
        zu::blob::PlanUpload(row.fileSize, row.blockSize, row.streams, row.parallel, row.encrypted);
    ASSERT_EQ(plan.fits, row.fits);
    if (!row.fits) continue;
    EXPECT_EQ(plan.blockSize, row.plannedBlock);
    EXPECT_EQ(plan.blockSizeRaised || plan.blockSizeRounded || plan.blockSizeCapped,
              row.plannedBlock != row.blockSize);
    EXPECT_EQ(plan.blockSizeRounded, row.encrypted && row.blockSize % k4 != 0);
    EXPECT_EQ(plan.blockSizeCapped,
              row.blockSize >
                  (row.encrypted ? zu::blob::kMaxEncryptedBlockBytes : zu::blob::kMaxBlockBytes));
    EXPECT_EQ(plan.blockSize % (row.encrypted ? k4 : kMiB), 0u);
    EXPECT_EQ(plan.slots, row.slots);
    EXPECT_EQ(plan.parallel, row.inFlight);
    EXPECT_EQ(plan.bufferSize, row.buffer);
    EXPECT_LE(zu::blob::BlocksNeeded(row.fileSize, plan.blockSize), zu::blob::kMaxBlocksPerBlob);
  }
}

// A file the sequential-file seam makes look larger than any blob can be.
class HugeFile : public zu::SequentialFile {
 public:
  CPzError Identity(zu::FileIdentity& identity) override {
    identity.size = 50000ULL * 4000 * kMiB + 1;
    return CPzError();
  }
  CPzError Read(char*, unsigned long long, unsigned long long& bytesRead) override {
    ADD_FAILURE() << "a file that cannot fit was read";
    bytesRead = 0;
    return CPzError();
  }
  CPzError Skip(unsigned long long) override {
    ADD_FAILURE() << "a file that cannot fit was skipped through";
    return CPzError();
  }
};

TEST_F(BlobUpload, AFileNoBlobCanHoldIsRefusedBeforeAnyRequest) {
  writeFile("huge.bak", "x");
  zutest::EnvChange change;
  change.openFile = [](const std::string&, CPzError&) {
    return std::unique_ptr<zu::SequentialFile>(new HugeFile());
  };
  auto service = makeService();
  const int threadsBefore = zutest::CountThreads();
  std::wstring message;
  {
    zutest::ScopedEnvChange huge(change);
    EXPECT_EQ(service->UploadFile(dir(), "huge.bak", "f", message), 0);
  }
  EXPECT_EQ(message,
            L"Error: File needs more than 50000 blocks of 4000 MiB, the most a blob can hold.");
  EXPECT_TRUE(requests("").empty());
  EXPECT_TRUE(service->m_fileList.empty());
  EXPECT_EQ(zutest::CountThreads(), threadsBefore);
}

// A journal is believed only when every line is exactly what this file and
// block size give; anything else sends the whole file again.
TEST(ResumeJournal, OnlyAWholeConsistentJournalIsBelieved) {
  zu::FileIdentity id;
  id.device = 2049;
  id.inode = 77;
  id.size = 2 * kMiB + 5;
  id.modifiedNs = 1700000000123456789LL;
  id.changedNs = -5;
  const std::string url = "https://store.test/c1/f/a.bak";
  const std::string tag = "0123456789abcdef01";
  const std::string header = zu::blob::JournalHeader(url, id, kMiB, tag);
  EXPECT_EQ(zu::blob::JournalBlockLine(3, kMiB, id.size, tag),
            "block 3 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAz 2097152 5\n");
  zu::blob::JournalContent content;
  std::string problem;
  ASSERT_TRUE(zu::blob::ParseJournal(header + zu::blob::JournalBlockLine(3, kMiB, id.size, tag) +
                                         zu::blob::JournalBlockLine(1, kMiB, id.size, tag),
                                     content, problem))
      << problem;
  EXPECT_EQ(content.blobUrl, url);
  EXPECT_EQ(content.identity.device, id.device);
  EXPECT_EQ(content.identity.inode, id.inode);
  EXPECT_EQ(content.identity.size, id.size);
  EXPECT_EQ(content.identity.modifiedNs, id.modifiedNs);
  EXPECT_EQ(content.identity.changedNs, id.changedNs);
  EXPECT_EQ(content.blockSize, kMiB);
  EXPECT_EQ(content.tag, tag);
  EXPECT_EQ(content.blocks, (std::vector<unsigned int>{3, 1}));
  EXPECT_EQ(content.kid, "");
  // An encrypted upload's journal: the kid (any printable text) and the
  // wrapped content key come back as written.
  const std::string wrapped(64, 'W');
  const std::string mac = zu::Base64OneLine(std::string(32, '\x5a'));
  const std::string sealed =
      zu::blob::JournalHeader(url, id, 4 * kMiB, tag, "vault key/7 = x", wrapped, mac);
  ASSERT_TRUE(zu::blob::ParseJournal(sealed, content, problem)) << problem;
  EXPECT_EQ(content.kid, "vault key/7 = x");
  EXPECT_EQ(content.wrappedKey, wrapped);
  EXPECT_EQ(content.mac, mac);
  EXPECT_EQ(content.version, 4);
  EXPECT_FALSE(content.commitSent);
  // What the mac line seals: the lines above it and the stored length.
  EXPECT_EQ(zu::blob::JournalSealedText(url, id, 4 * kMiB, tag, "vault key/7 = x", wrapped, 99),
            sealed.substr(0, sealed.find("mac ")) + "stored 99\n");
  // A commit line ends a journal; a version 3 journal without encryption
  // (no mac line) is still read.
  auto replacedIn = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string block1 = zu::blob::JournalBlockLine(1, kMiB, id.size, tag);
  const struct {
    const char* what;
    std::string text;
    int version;
    bool commitSent;
    size_t blocks;
  } good[] = {
      {"commit line last", header + block1 + "commit\n", 4, true, 1},
      {"commit line alone", header + "commit\n", 4, true, 0},
      {"version 3 without encryption",
       replacedIn(replacedIn(header, "journal 4", "journal 3"), "mac none\n", "") + block1, 3,
       false, 1},
      {"version 3 encrypted (read, not used: Resume.cpp)",
       replacedIn(replacedIn(sealed, "journal 4", "journal 3"), "mac " + mac + "\n", ""), 3, false,
       0},
  };
  for (const auto& row : good) {
    ASSERT_TRUE(zu::blob::ParseJournal(row.text, content, problem)) << row.what << problem;
    EXPECT_EQ(content.version, row.version) << row.what;
    EXPECT_EQ(content.commitSent, row.commitSent) << row.what;
    EXPECT_EQ(content.blocks.size(), row.blocks) << row.what;
    EXPECT_EQ(content.mac, "") << row.what;
  }
  auto sealedWith = [&sealed, &mac, &replacedIn](const std::string& macLine) {
    return replacedIn(sealed, "mac " + mac + "\n", macLine);
  };

  auto replaced = [&header](const std::string& from, const std::string& to) {
    std::string text = header;
    return text.replace(text.find(from), from.size(), to);
  };
  const struct {
    const char* what;
    std::string text;
  } bad[] = {
      {"empty", ""},
      {"cut in the header", header.substr(0, header.size() - 1)},
      {"another format", replaced("journal 4", "journal 5")},
      {"untagged ids of version 1", replaced("journal 4", "journal 1")},
      {"no key line of version 2", replaced("journal 4", "journal 2")},
      {"version 3 with a mac line", replaced("journal 4", "journal 3")},
      {"no mac line", replaced("mac none\n", "")},
      {"a mac without a key", replaced("mac none", "mac " + mac)},
      {"no mac with a key", sealedWith("mac none\n")},
      {"mac of 31 bytes", sealedWith("mac " + zu::Base64OneLine(std::string(31, 'm')) + "\n")},
      {"mac of 33 bytes", sealedWith("mac " + zu::Base64OneLine(std::string(33, 'm')) + "\n")},
      {"mac not Base64", sealedWith("mac " + std::string(43, '*') + "=\n")},
      {"mac of two words", sealedWith("mac " + mac + " " + mac + "\n")},
      {"commit line before a block line", header + "commit\n" + block1},
      {"two commit lines", header + "commit\ncommit\n"},
      {"commit line with a word", header + "commit now\n"},
      {"no key line", replaced("key none\n", "")},
      {"key line of one word", replaced("key none", "key")},
      {"kid not Base64", replaced("key none", "key a.b QUJD")},
      {"empty kid", replaced("key none", "key  QUJD")},
      {"kid without its padding", replaced("key none", "key a2k QUJD")},
      {"key line of four words", replaced("key none", "key a2lk QUJD QUJD")},
      {"wrapped key too long", replaced("key none", "key a2lk " + std::string(129, 'A'))},
      {"no tag", replaced("tag " + tag + "\n", "")},
      {"short tag", replaced("tag " + tag, "tag 0123")},
      {"tag one digit short", replaced("tag " + tag, "tag " + tag.substr(1))},
      {"tag one digit long", replaced("tag " + tag, "tag " + tag + "0")},
      {"tag of two tags", replaced("tag " + tag, "tag " + tag + tag)},
      {"empty tag", replaced("tag " + tag, "tag ")},
      {"upper-case tag", replaced("tag " + tag, "tag 0123456789ABCDEF01")},
      {"block id without the tag", header + "block 1 MDAwMDAx 0 1048576\n"},
      {"no url", replaced("url " + url, "url ")},
      {"block size 0", replaced("blocksize 1048576", "blocksize 0")},
      {"signed size", replaced(" 2097157 ", " +2097157 ")},
      {"block 0", header + "block 0 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAw 0 0\n"},
      {"block past the end", header + "block 4 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDA0 3145728 0\n"},
      {"wrong length", header + "block 3 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAz 2097152 6\n"},
      {"wrong id", header + "block 1 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAy 0 1048576\n"},
      {"wrong offset", header + "block 2 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAy 0 1048576\n"},
      {"two blanks", header + "block 1  MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAx 0 1048576\n"},
      {"huge number",
       header + "block 99999999999999999999 MDEyMzQ1Njc4OWFiY2RlZjAxMDAwMDAx 0 1048576\n"},
  };
  for (const auto& row : bad) {
    EXPECT_FALSE(zu::blob::ParseJournal(row.text, content, problem)) << row.what;
  }
}

// Resume skips a journalled block only when the service holds it with the
// length the block has in this very file; a journal of a file whose
// identity differs in its size alone is not used at all (no question to
// the service, nothing skipped).
TEST(ResumeJournal, ABlockIsSkippedOnlyWhenHeldWithItsLengthForThisVeryFile) {
  zutest::TempDir state;
  zutest::ScopedEnv stateDir("ZUCLOUD_STATE_DIR", state.path());
  EvDebugFileInstance file;
  EvDebug log(&file);
  zu::FileIdentity id;
  id.device = 2049;
  id.inode = 77;
  id.size = 3 * kMiB + 5;  // blocks of 1 MiB, 1 MiB, 1 MiB and 5 bytes
  id.modifiedNs = 1700000000123456789LL;
  id.changedNs = 1700000000123456789LL;
  const std::string url = "https://store.test/c1/f/a.bak";
  // The ids as the journal records them, and the lengths the service holds.
  std::map<std::string, unsigned long long> held;
  const std::string tag = "0123456789abcdef01";
  std::string journal = zu::blob::JournalHeader(url, id, kMiB, tag);
  const unsigned long long heldLength[] = {kMiB, kMiB - 1, kMiB, 4};
  // Another upload of the blob holds every block whole, under its own tag.
  std::map<std::string, unsigned long long> heldByOther;
  for (unsigned int blockNo = 1; blockNo <= 4; ++blockNo) {
    const std::string line = zu::blob::JournalBlockLine(blockNo, kMiB, id.size, tag);
    journal += line;
    const size_t idStart = line.find(' ', 6) + 1;
    held[line.substr(idStart, line.find(' ', idStart) - idStart)] = heldLength[blockNo - 1];
    heldByOther[zu::blob::BlockId(blockNo, "fedcba9876543210fe")] = blockNo < 4 ? kMiB : 5;
    heldByOther[zu::blob::BlockId(blockNo)] = blockNo < 4 ? kMiB : 5;
  }
  ASSERT_EQ(held.size(), 4u);
  const std::string journalPath = state.file(zu::blob::JournalFileName(url));

  // The blob's committed list: this journal's blocks, and the same with one
  // id of another upload.
  std::vector<zu::blob::ListedBlock> committedHere;
  for (unsigned int blockNo = 1; blockNo <= 4; ++blockNo) {
    committedHere.push_back({zu::blob::BlockId(blockNo, tag), blockNo < 4 ? kMiB : 5});
  }
  std::vector<zu::blob::ListedBlock> committedOther = committedHere;
  committedOther[2].name = zu::blob::BlockId(3, "fedcba9876543210fe");
  const std::vector<zu::blob::ListedBlock> none;

  struct Row {
    const char* what;
    unsigned long long sizeNow;
    int queries;
    std::vector<bool> stored;
    unsigned long long storedBytes;
    const std::map<std::string, unsigned long long>* held;
    const std::vector<zu::blob::ListedBlock>* committed;
    int committedQueries;  // the journal names every block: the commit is looked for first
    bool found = false;    // the earlier run's commit is found
    long long mtimeShift = 0;
    bool lockedElsewhere = false;  // another upload holds the journal's lock
    const char* refused = "";      // the committed list is refused 403 with this code
  };
  const Row rows[] = {
      {"same file: blocks 2 and 4 are held short",
       id.size,
       1,
       {true, false, true, false},
       2 * kMiB,
       &held,
       &none,
       1},
      {"only the size differs", id.size + 1, 0, {}, 0, &held, &committedHere, 0},
      {"held whole, but by another upload",
       id.size,
       1,
       {false, false, false, false},
       0,
       &heldByOther,
       &none,
       1},
      {"committed by the earlier run", id.size, 0, {}, 0, &held, &committedHere, 1, true},
      {"committed, one id of another upload",
       id.size,
       1,
       {true, false, true, false},
       2 * kMiB,
       &held,
       &committedOther,
       1},
      {"committed, but the file was changed since",
       id.size,
       0,
       {},
       0,
       &held,
       &committedHere,
       0,
       false,
       1},
      {"another upload holds the journal",
       id.size,
       0,
       {},
       0,
       &held,
       &committedHere,
       0,
       false,
       0,
       true},
      // A write-only token reads neither list: the file goes whole, and
      // the uncommitted list is not asked for in vain.
      {"committed list refused: no read permission",
       id.size,
       0,
       {},
       0,
       &held,
       &committedHere,
       1,
       false,
       0,
       false,
       "AuthorizationPermissionMismatch"},
      {"committed list refused otherwise: the held blocks are asked for",
       id.size,
       1,
       {true, false, true, false},
       2 * kMiB,
       &held,
       &committedHere,
       1,
       false,
       0,
       false,
       "AuthorizationFailure"},
  };
  std::string problem;
  const std::unique_ptr<zu::PrivateDirectory> lockDir =
      zu::PrivateDirectory::Open(state.path(), problem);
  ASSERT_TRUE(lockDir) << problem;
  const std::string lockPath = state.file(zu::blob::JournalLockName(url));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    zutest::WriteFile(journalPath, journal);
    // Another open of the lock file, as another process makes it.
    std::unique_ptr<zu::PrivateLock> other;
    long holder = 0;
    if (row.lockedElsewhere) {
      ASSERT_EQ(
          zu::PrivateLock::Result::kTaken,
          zu::PrivateLock::Take(*lockDir, zu::blob::JournalLockName(url), other, holder, problem));
    }
    zu::blob::ResumeRequest request;
    request.blobUrl = url;
    request.fileName = "a.bak";
    request.identity = id;
    request.identity.size = row.sizeNow;
    request.identity.modifiedNs += row.mtimeShift;
    request.blockSize = kMiB;
    int queries = 0;
    request.queryService = [&] {
      ++queries;
      zu::blob::UncommittedBlocks blocks;
      blocks.answered = true;
      blocks.sizes = *row.held;
      return blocks;
    };
    int committedQueries = 0;
    request.queryCommitted = [&] {
      EXPECT_EQ(queries, 0) << "the committed list is read before anything else";
      ++committedQueries;
      zu::blob::BlockListing listing;
      listing.answered = row.refused[0] == '\0';
      listing.blocks = listing.answered ? *row.committed : none;
      listing.status = listing.answered ? 200 : 403;
      listing.noReadPermission = std::string(row.refused) == "AuthorizationPermissionMismatch";
      if (!listing.answered) listing.failure = "403 " + std::string(row.refused);
      return listing;
    };
    const zu::blob::ResumeStart start = zu::blob::PrepareResume(request, &log);
    EXPECT_EQ(queries, row.queries);
    EXPECT_EQ(committedQueries, row.committedQueries);
    EXPECT_EQ(start.committed, row.found);
    EXPECT_EQ(start.stored, row.stored);
    EXPECT_EQ(start.storedBytes, row.storedBytes);
    // A commit found leaves no journal behind and starts none.
    EXPECT_EQ(start.journal == nullptr, row.found || row.lockedElsewhere);
    EXPECT_EQ(::access(journalPath.c_str(), F_OK) == 0, !row.found);
    // The upload holds the lock for as long as it runs; a held one is
    // neither read nor taken over, and says who holds it.
    EXPECT_EQ(start.lock != nullptr, !row.lockedElsewhere);
    EXPECT_EQ(start.heldBy, row.lockedElsewhere
                                ? "another upload (pid " + std::to_string(::getpid()) +
                                      ") holds the journal of a.bak"
                                : "");
    if (row.lockedElsewhere) {
      EXPECT_EQ(zutest::ReadFile(journalPath), journal);
    }
    EXPECT_EQ(::access(lockPath.c_str(), F_OK), 0);
  }
  EXPECT_NE(::access(lockPath.c_str(), F_OK), 0) << "released with the upload";
}

TEST(UncommittedBlocks, OnlyAWellFormedBlockListIsBelieved) {
  std::map<std::string, unsigned long long> sizes;
  std::string problem;
  ASSERT_TRUE(zu::blob::ParseUncommittedBlocks(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><BlockList><CommittedBlocks><Block><Name>"
      "MDAwMDA5</Name><Size>1</Size></Block></CommittedBlocks><UncommittedBlocks><Block><Name>"
      "MDAwMDAx</Name><Size>1048576</Size></Block><Block><Name>MDAwMDAy</Name><Size>5</Size>"
      "</Block></UncommittedBlocks></BlockList>",
      sizes, problem))
      << problem;
  EXPECT_EQ(sizes,
            (std::map<std::string, unsigned long long>{{"MDAwMDAx", 1048576}, {"MDAwMDAy", 5}}));
  // The same reader takes the committed list, in the blob's order.
  std::vector<zu::blob::ListedBlock> committed;
  ASSERT_TRUE(zu::blob::ParseBlockList(
      "<BlockList><CommittedBlocks><Block><Name>MDAwMDA5</Name><Size>7</Size></Block><Block>"
      "<Name>MDAwMDAx</Name><Size>1</Size></Block></CommittedBlocks><UncommittedBlocks><Block>"
      "<Name>MDAwMDAy</Name><Size>5</Size></Block></UncommittedBlocks></BlockList>",
      zu::blob::BlockListType::kCommitted, committed, problem))
      << problem;
  ASSERT_EQ(committed.size(), 2u);
  EXPECT_EQ(committed[0].name, "MDAwMDA5");
  EXPECT_EQ(committed[0].size, 7u);
  EXPECT_EQ(committed[1].name, "MDAwMDAx");
  EXPECT_EQ(committed[1].size, 1u);
  for (const char* none : {"<BlockList/>", "<BlockList><UncommittedBlocks/></BlockList>"}) {
    EXPECT_TRUE(zu::blob::ParseUncommittedBlocks(none, sizes, problem)) << none;
    EXPECT_TRUE(sizes.empty()) << none;
  }
  for (const char* bad : {
           "",
           "\x01 not XML",
           "<Error><Code>AuthorizationFailure</Code></Error>",
           "<BlockList><UncommittedBlocks><Block><Name>MDAwMDAx</Name></Block>"
           "</UncommittedBlocks></BlockList>",
           "<BlockList><UncommittedBlocks><Block><Name>MDAwMDAx</Name><Size>-1</Size></Block>"
           "</UncommittedBlocks></BlockList>",
           "<BlockList><UncommittedBlocks><Block><Name></Name><Size>1</Size></Block>"
           "</UncommittedBlocks></BlockList>",
           "<BlockList><UncommittedBlocks><Block><Name>MDAwMDAx</Name><Size>1</Size></Block>",
           "<!DOCTYPE b [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
           "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><BlockList><UncommittedBlocks><Block>"
           "<Name>&c;</Name><Size>1</Size></Block></UncommittedBlocks></BlockList>",
       }) {
    EXPECT_FALSE(zu::blob::ParseUncommittedBlocks(bad, sizes, problem)) << bad;
    EXPECT_TRUE(sizes.empty()) << bad;
  }
  // More blocks than the service holds for a blob (100,000): not believed,
  // however the elements are spelt.
  std::string crowded = "<BlockList><UncommittedBlocks>";
  for (int i = 0; i <= 100000; ++i) {
    crowded += i % 2 == 0 ? "<Block><Name>QQ</Name><Size>1</Size></Block>"
                          : "<Block\n><Name>QQ</Name><Size>1</Size></Block>";
  }
  crowded += "</UncommittedBlocks></BlockList>";
  EXPECT_FALSE(zu::blob::ParseUncommittedBlocks(crowded, sizes, problem));
  EXPECT_NE(std::string::npos, problem.find("more than 100000 blocks")) << problem;
}

}  // namespace

namespace {

// A SAS token that expires during a file: storage refuses the next request
// with 403, the service asks the web console for a fresh token (login and
// set-up) and sends that request again with it; the blocks already stored
// stay. `expireAfter` storage requests per token. A fresh token that
// stores something leaves the budget of kMaxTokenRefreshesPerFile, so a
// file that stores with every token runs as long as tokens come.
struct ExpiryRow {
  const char* name;
  int blocks;
  int expireAfter;
  const char* parallel;  // "DRBackupUploadParallelBlocks"
  const char* resume;    // "bEnableZUCloudDRBackupResume"
  int refreshes;         // set-ups expected
  bool stored;
  bool byPlace = false;  // expireAfter counts blocks of the file, not requests
};

class TokenExpiry : public BlobUpload, public ::testing::WithParamInterface<ExpiryRow> {};

TEST_P(TokenExpiry, AFreshTokenCarriesTheFileOnWithTheBlocksAlreadyStored) {
  const ExpiryRow& row = GetParam();
  env_.setGlobal("DRBackupUploadParallelBlocks", row.parallel);
  env_.setGlobal("bEnableZUCloudDRBackupResume", row.resume);
  const std::string data = zutest::RandomBytes(row.blocks * kMiB, 7);
  writeFile("x.bak", data);
  auto service = makeService();
  if (row.byPlace) {
    cloud_.expireTokenAtBlocks(row.expireAfter, "TOKSIG99");
  } else {
    cloud_.expireTokenAfter(row.expireAfter, "TOKSIG99");
  }
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "x.bak", "f", message), row.stored ? 1 : 0)
      << FXString::ToString(message) << env_.logText();
  EXPECT_EQ(cloud_.setUpCount(), row.refreshes);
  EXPECT_EQ(requests("login").size(), static_cast<size_t>(row.refreshes));
  EXPECT_TRUE(sleeps_.waits().empty());
  const std::string log = env_.logText();
  EXPECT_EQ(CountOccurrences(log, "asking the web console for a fresh SAS token"), row.refreshes);
  EXPECT_NE(log.find("Warning: Storage refused file [x.bak] with 403 (AuthenticationFailed); "
                     "asking the web console for a fresh SAS token (refresh [1] of [5])"),
            std::string::npos);
  EXPECT_EQ(log.find("FRESH"), std::string::npos);  // the sig is redacted
  if (!row.stored) {
    EXPECT_EQ(FXString::ToString(message),
              "Error: Storage refused file [x.bak]: 403 AuthenticationFailed: the token was "
              "refused again after 5 refreshes for this file with nothing stored in between.");
    return;
  }
  EXPECT_TRUE(cloud_.committedBytes(std::string(kStore) + "/f/x.bak") == data);
  // Every block was stored once: none sent again after it was taken.
  EXPECT_EQ(cloud_.putBlockCount(), row.blocks);
  EXPECT_EQ(cloud_.committedIds(std::string(kStore) + "/f/x.bak").size(),
            static_cast<size_t>(row.blocks));
  // Later files and the completion use the fresh token.
  EXPECT_EQ(service->m_sasToken, "sv=1&sr=c&sig=FRESH" + std::to_string(row.refreshes));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TokenExpiry,
    ::testing::Values(ExpiryRow{"one_in_flight", 6, 2, "1", "false", 3, true},
                      ExpiryRow{"resume", 6, 2, "1", "true", 3, true},
                      // Each token stores four blocks of the file, whichever
                      // of the three in flight reaches storage first.
                      ExpiryRow{"three_in_flight", 9, 4, "3", "false", 2, true, true},
                      // Five blocks and the commit, one request per token:
                      // five refreshes, the most a file may ask for.
                      ExpiryRow{"five_refreshes", 5, 1, "1", "false", 5, true},
                      // Each fresh token stores a block: none counts against the budget.
                      ExpiryRow{"six_refreshes_each_storing", 6, 1, "1", "false", 6, true},
                      ExpiryRow{"twelve_refreshes", 12, 1, "1", "false", 12, true},
                      ExpiryRow{"twelve_refreshes_resume", 12, 1, "1", "true", 12, true}),
    [](const ::testing::TestParamInfo<ExpiryRow>& info) { return info.param.name; });

// Storage refusals: a 403 that a fresh token does not cure, and the codes no
// resend can change, end the file at once (one request, or two around a
// refresh; no wait) with the code in the caller's message; 408, 429 and 5xx
// keep the retry policy.
struct RefusalRow {
  const char* name;
  const char* kind;
  int status;
  const char* code;
  size_t requests;  // of `kind`
  int setUps;
  // What the message says after "Error: Storage refused file [r.bak]:
  // <status> <code>: "; "" : the usual message after the retries.
  const char* advice;
};

class StorageRefusal : public BlobUpload, public ::testing::WithParamInterface<RefusalRow> {};

const char* const kAsMade =
    "the storage service refuses the request as it is made; check the settings and the storage "
    "account.";
const char* const kPolicy =
    "the blob's state or a policy on it (a lease, an immutability policy, a legal hold, the block "
    "count limit) forbids the write.";
const char* const kEndpoint =
    "the storage endpoint does not support the request; check the storage URL.";
const char* const kNoWrite =
    "the SAS token does not grant the permission to write the blob, and a fresh token of the "
    "same grant would be refused too; the set-up must hand out tokens with write permission.";

TEST_P(StorageRefusal, EndsTheFileAtOnceOnlyWhenNoResendCanPass) {
  const RefusalRow& row = GetParam();
  writeFile("r.bak", zutest::RandomBytes(2 * kMiB, 3));
  auto service = makeService();
  cloud_.refuseStorage(row.kind, row.status, row.code);
  std::wstring message;
  EXPECT_EQ(service->UploadFile(dir(), "r.bak", "f", message), 0);
  EXPECT_EQ(requests(row.kind).size(), row.requests);
  EXPECT_EQ(cloud_.setUpCount(), row.setUps);
  const std::string text = FXString::ToString(message);
  if (row.advice[0] != '\0') {
    EXPECT_EQ(text, "Error: Storage refused file [r.bak]: " + std::to_string(row.status) + " " +
                        row.code + ": " + row.advice);
    EXPECT_TRUE(sleeps_.waits().empty());
  } else {
    EXPECT_EQ(text.find("Storage refused"), std::string::npos) << text;
    EXPECT_EQ(sleeps_.waits().size(), 2u);  // DRBackupRetryCount 2
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StorageRefusal,
    ::testing::Values(
        RefusalRow{"put_block_403", "put_block", 403, "AuthenticationFailed", 2, 1,
                   "the token was refused again after a refresh."},
        RefusalRow{"commit_403", "block_list", 403, "AuthorizationFailure", 2, 1,
                   "the token was refused again after a refresh."},
        // A token without write permission: no fresh token of its grant helps.
        RefusalRow{"put_block_no_write", "put_block", 403, "AuthorizationPermissionMismatch", 1, 0,
                   kNoWrite},
        RefusalRow{"commit_no_write", "block_list", 403, "AuthorizationPermissionMismatch", 1, 0,
                   kNoWrite},
        RefusalRow{"container_gone", "put_block", 404, "ContainerNotFound", 1, 0,
                   "the container no longer exists."},
        RefusalRow{"commit_container_gone", "block_list", 404, "ContainerNotFound", 1, 0,
                   "the container no longer exists."},
        RefusalRow{"bad_header", "put_block", 400, "InvalidHeaderValue", 1, 0,
                   "the storage service refuses the request as it is made; check the "
                   "settings and the storage account."},
        RefusalRow{"too_large", "put_block", 413, "RequestBodyTooLarge", 1, 0,
                   "the request is larger than the service accepts."},
        RefusalRow{"server_error", "put_block", 500, "InternalError", 2, 0, ""},
        RefusalRow{"busy", "put_block", 503, "ServerBusy", 2, 0, ""},
        RefusalRow{"timeout", "put_block", 408, "OperationTimedOut", 2, 0, ""},
        RefusalRow{"throttled", "put_block", 429, "TooManyRequests", 2, 0, ""},
        // Every other 4xx of a store is final too, whatever its code; so
        // are 501 and 505. The digest codes, 408, 429 and other 5xx are not.
        RefusalRow{"other_404", "put_block", 404, "BlobNotFound", 1, 0, kAsMade},
        RefusalRow{"immutable", "put_block", 409, "BlobImmutableDueToPolicy", 1, 0, kPolicy},
        RefusalRow{"lease", "block_list", 412, "LeaseIdMissing", 1, 0, kPolicy},
        RefusalRow{"block_count", "put_block", 409, "BlockCountExceedsLimit", 1, 0, kPolicy},
        RefusalRow{"bad_xml", "block_list", 400, "InvalidXmlNodeValue", 1, 0, kAsMade},
        RefusalRow{"verb", "put_block", 405, "UnsupportedHttpVerb", 1, 0, kEndpoint},
        RefusalRow{"not_implemented", "put_block", 501, "NotImplemented", 1, 0, kEndpoint},
        RefusalRow{"http_version", "block_list", 505, "HttpVersionNotSupported", 1, 0, kEndpoint},
        RefusalRow{"last_4xx", "put_block", 499, "ClientClosed", 1, 0, kAsMade},
        RefusalRow{"md5", "put_block", 400, "Md5Mismatch", 2, 0, ""},
        RefusalRow{"crc64", "put_block", 400, "Crc64Mismatch", 2, 0, ""},
        RefusalRow{"bad_gateway", "put_block", 502, "BadGateway", 2, 0, ""},
        RefusalRow{"gateway_timeout", "block_list", 504, "GatewayTimeout", 2, 0, ""},
        RefusalRow{"after_505", "put_block", 506, "VariantAlsoNegotiates", 2, 0, ""}),
    [](const ::testing::TestParamInfo<RefusalRow>& info) { return info.param.name; });

// An upload resumed after its token expired: the Get Block List that asks
// which blocks storage holds is refused 403, a fresh token is asked for, and
// the blocks stored before are still skipped.
TEST_F(BlobUpload, AResumedUploadWhoseTokenExpiredAsksForAFreshOneAndSkipsItsBlocks) {
  const std::string data = zutest::RandomBytes(4 * kMiB, 9);
  writeFile("r.bak", data);
  auto service = makeService();
  cloud_.failBlockAlways(3);
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "r.bak", "f", message), 0);  // blocks 1 and 2 journalled
  cloud_.failBlockAlways(0);
  const int before = cloud_.putBlockCount();
  cloud_.expireTokenAfter(100, "NOT-THE-SET-UPS");  // the token in hand is refused
  message.clear();
  ASSERT_EQ(service->UploadFile(dir(), "r.bak", "f", message), 1) << FXString::ToString(message);
  EXPECT_EQ(cloud_.setUpCount(), 1);
  EXPECT_EQ(cloud_.putBlockCount() - before, 2);  // blocks 3 and 4 only
  EXPECT_TRUE(cloud_.committedBytes(std::string(kStore) + "/f/r.bak") == data);
  EXPECT_NE(env_.logText().find("Resuming the upload of file [r.bak]"), std::string::npos);
}

TEST_F(BlobUpload, ConcurrentRefusalsOfOneTokenMakeOneRefresh) {
  env_.setGlobal("DRBackupUploadParallelBlocks", "3");
  const std::string data = zutest::RandomBytes(6 * kMiB, 5);
  writeFile("p.bak", data);
  auto service = makeService();
  // The first token is refused from the start; the fresh one lasts.
  cloud_.expireTokenAfter(100, "EXPIRED");
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "p.bak", "f", message), 1) << FXString::ToString(message);
  EXPECT_EQ(cloud_.setUpCount(), 1);
  EXPECT_TRUE(cloud_.committedBytes(std::string(kStore) + "/f/p.bak") == data);
  EXPECT_GE(cloud_.maxPutBlocksInFlight(), 1);
}

// The refresh of a file whose source hands out "sig=T1", "sig=T2", ... for
// one storage URL, counting the tokens in `asked`.
zu::blob::TokenRefresh CountingTokens(EvDebug* log, int& asked) {
  return zu::blob::TokenRefresh(
      log, "t.bak", zu::blob::SasGrant{"https://s.test/c", "sig=T0"},
      [&asked](zu::blob::SasGrant& grant, std::string&) {
        grant = zu::blob::SasGrant{"https://s.test/c", "sig=T" + std::to_string(++asked)};
        return true;
      },
      "the web console");
}

// A token another request fetched can be spent by the time this request
// sends with it: the request asks once itself before its refusal counts, and
// a refusal of the token it asked for ends it. Rows: the refusals of this
// request's sends (403 each), the set-ups made, whether it ends stored.
TEST(TokenRefreshRounds, ARequestAsksOnceItselfBeforeARefusalEndsIt) {
  struct Row {
    int refusals;
    int setUps;
    bool stored;
  };
  for (const Row& row : {Row{1, 1, true}, Row{2, 2, true}, Row{3, 2, false}}) {
    EvDebugFileInstance file;
    EvDebug log(&file);
    int asked = 0;
    zu::blob::TokenRefresh tokens = CountingTokens(&log, asked);
    int sends = 0;
    const zu::blob::RefreshedSend out =
        zu::blob::SendWithRefresh(&tokens, "", [&](const std::string&) {
          // Another request refreshes while this one's first send is out.
          if (sends == 0) {
            std::string failure;
            zu::blob::StorageJudgement refused{zu::blob::StorageVerdict::kTokenRefused, 403, ""};
            tokens.Refresh(0, refused, failure);
          }
          zu::blob::StorageJudgement judged;
          judged.status = sends++ < row.refusals ? 403 : 201;
          judged.verdict = judged.status == 403 ? zu::blob::StorageVerdict::kTokenRefused
                                                : zu::blob::StorageVerdict::kConfirmed;
          return judged;
        });
    EXPECT_EQ(asked, row.setUps) << row.refusals;
    EXPECT_EQ(!out.final, row.stored) << row.refusals;
  }
}

// The budget counts refreshes whose token got no request confirmed: each
// step of a row is a refresh ('u': its token stores nothing; 'p': a request
// with it is confirmed; 'o': a request with the set-up's token is
// confirmed, which proves nothing of a refresh), then one more refresh.
TEST(TokenRefreshRounds, TheBudgetCountsOnlyRefreshesThatStoredNothing) {
  struct Row {
    const char* steps;
    zu::blob::RefreshResult next;
  };
  using zu::blob::RefreshResult;
  const Row rows[] = {
      {"uuuu", RefreshResult::kFresh},       {"uuuuu", RefreshResult::kExhausted},
      {"uuuup", RefreshResult::kFresh},      {"uuuupu", RefreshResult::kExhausted},
      {"puuuu", RefreshResult::kFresh},      {"pppppppppppppppppppp", RefreshResult::kFresh},
      {"uuuuou", RefreshResult::kExhausted}, {"ppppuuuuu", RefreshResult::kExhausted},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.steps);
    EvDebugFileInstance file;
    EvDebug log(&file);
    int asked = 0;
    zu::blob::TokenRefresh tokens = CountingTokens(&log, asked);
    const zu::blob::StorageJudgement refused{zu::blob::StorageVerdict::kTokenRefused, 403, ""};
    unsigned int generation = 0;
    std::string failure;
    for (const char* step = row.steps; *step != '\0'; ++step) {
      if (*step == 'o') {
        tokens.NoteConfirmed(0);
        continue;
      }
      ASSERT_EQ(tokens.Refresh(generation, refused, failure), RefreshResult::kFresh);
      tokens.Token(generation);
      if (*step == 'p') tokens.NoteConfirmed(generation);
    }
    EXPECT_EQ(tokens.Refresh(generation, refused, failure), row.next);
  }
}

TEST_F(BlobUpload, AFreshTokenForAnotherUrlSendsTheFileAgainWholeThere) {
  const std::string data = zutest::RandomBytes(4 * kMiB, 9);
  writeFile("u.bak", data);
  auto service = makeService();
  const std::string moved = "https://store2.test/devacct/c9";
  cloud_.expireTokenAfter(2, "TOKSIG99");
  cloud_.changeUrlFromSetUp(1, moved);
  std::wstring message;
  ASSERT_EQ(service->UploadFile(dir(), "u.bak", "f", message), 1) << FXString::ToString(message);
  EXPECT_TRUE(cloud_.committedBytes(moved + "/f/u.bak") == data);
  EXPECT_FALSE(cloud_.hasBlob(std::string(kStore) + "/f/u.bak"));
  // Two blocks stored at the old URL, then the whole file at the new one.
  EXPECT_EQ(cloud_.putBlockCount(), 2 + 4);
  std::string tag;
  EXPECT_EQ(cloud_.committedNumbers(moved + "/f/u.bak", tag),
            (std::vector<unsigned int>{1, 2, 3, 4}));
  EXPECT_FALSE(tag.empty());
  EXPECT_EQ(service->m_uploadURL, moved);
  ASSERT_EQ(service->m_fileList.size(), 1u);
  EXPECT_EQ(service->m_fileList[0]->url, moved + "/f/u.bak");
}

// A fresh token or URL that fails the first set-up's checks is refused: the
// file ends, nothing is sent with it, the service keeps what it had.
TEST_F(BlobUpload, ARefreshedGrantPassesTheChecksOfTheFirstSetUp) {
  struct Row {
    const char* url;
    const char* token;
  };
  for (const Row& row : {Row{"", "sv=1&sig=BAD\x01"}, Row{"http://store.test/devacct/c1", ""}}) {
    SCOPED_TRACE(row.url);
    writeFile("c.bak", zutest::RandomBytes(3 * kMiB, 2));
    auto service = makeService();
    service->m_url = "https://console.test/webconsole";
    zutest::BlobFakeCloud cloud(fakes_.journal());
    cloud.expireTokenAfter(1, "TOKSIG99");
    if (row.url[0] != '\0') cloud.changeUrlFromSetUp(1, row.url);
    if (row.token[0] != '\0') cloud.changeTokenFromSetUp(1, row.token);
    std::wstring message;
    EXPECT_EQ(service->UploadFile(dir(), "c.bak", "f", message), 0);
    EXPECT_NE(FXString::ToString(message).find("403 AuthenticationFailed: no fresh SAS token "
                                               "could be had"),
              std::string::npos)
        << FXString::ToString(message);
    EXPECT_EQ(service->m_sasToken, kToken);
    EXPECT_EQ(service->m_uploadURL, kStore);
    for (const FakeRequest& put : zutest::BlobRequests(fakes_.journal(), "put_block")) {
      EXPECT_EQ(put.url.find("BAD"), std::string::npos);
      EXPECT_EQ(put.url.rfind("http:", 0), std::string::npos);
    }
  }
}

}  // namespace
