// ZUCloudService::UploadFile, GetChunkUploadSessionID and
// GetChunkOffsetforUpload against a fake folder cloud: request sizes and
// "FileEOF" placement, stored bytes and metadata, the resume rules of the
// per-chunk attempt loop, the restart from byte 0 when the server holds more
// than was sent, the last chunk whose reply was lost, waits, messages, log
// lines and resource release.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ZuUploadProgress.h"
#include "folder/chunk/HeldOffset.h"
#include "platform/http/SendPacer.h"
#include "platform/text/Base64.h"
#include "platform/text/FXString.h"
#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/FileSeam.h"
#include "support/FolderFakeCloud.h"
#include "support/FolderFakeTest.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

constexpr long long kMiB = 1048576;
constexpr long long kChunk = 4 * kMiB;
const char* const kUploadBase = "http://upload.test/files";
const char* const kSessionUrl =
    "http://upload.test/files/api/drive/share/sh-9/file/action/"
    "upload?uploadType=chunkedFile&forceRestart=true";
const char* const kChunkUrl =
    "http://upload.test/files/api/drive/share/sh-9/file/action/"
    "upload?uploadType=chunkedFile&requestId=req-1";

struct Progress {
  std::mutex mutex;
  std::vector<unsigned long long> sent;
  std::vector<unsigned long long> totals;
};

void RecordProgress(void* context, const char*, unsigned long long sent, unsigned long long total) {
  Progress* progress = static_cast<Progress*>(context);
  std::lock_guard<std::mutex> lock(progress->mutex);
  progress->sent.push_back(sent);
  progress->totals.push_back(total);
}

// (kind, body length, FileEOF) of each upload request.
struct Shape {
  std::string kind;
  long long length;
  bool eof;
  bool operator==(const Shape& o) const {
    return kind == o.kind && length == o.length && eof == o.eof;
  }
};
std::ostream& operator<<(std::ostream& out, const Shape& s) {
  return out << "{" << s.kind << "," << s.length << "," << (s.eof ? "EOF" : "-") << "}";
}

std::vector<Shape> Shapes(const std::vector<UploadEvent>& events) {
  std::vector<Shape> shapes;
  for (const UploadEvent& e : events) shapes.push_back(Shape{e.kind, e.bodyLength, e.eof});
  return shapes;
}

// The requests that send chunks [first, end) of a file of `size` bytes,
// more than one chunk: the session request carries chunk 0, the file's last
// chunk carries "FileEOF".
std::vector<Shape> ChunkRequests(long long size, int first, int end) {
  std::vector<Shape> shapes;
  for (int i = first; i < end; ++i) {
    const long long offset = i * kChunk;
    const long long length = std::min(kChunk, size - offset);
    shapes.push_back(Shape{i == 0 ? "session" : "chunk", length, i > 0 && offset + length == size});
  }
  return shapes;
}

// The requests of a session that sends the whole file.
std::vector<Shape> WholeFile(long long size) {
  return ChunkRequests(size, 0, static_cast<int>((size + kChunk - 1) / kChunk));
}

// The requests of the parts, one after the other.
std::vector<Shape> Requests(std::initializer_list<std::vector<Shape>> parts) {
  std::vector<Shape> all;
  for (const std::vector<Shape>& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Shape kQuery{"query", 0, false};
const Shape kEofQuery{"query", 0, true};  // an empty "FileEOF" chunk: the offset query

class FolderUploadTest : public FolderFakeTest {
 protected:
  FolderUploadTest() {
    service.forceInitialized("http://console.test/webconsole", "ann", "s3cr3t");
    service.m_uploadURL = kUploadBase;
    service.m_shareID = "sh-9";
    zuSetUploadProgressCallback(&RecordProgress, &progress);
  }
  ~FolderUploadTest() override { zuSetUploadProgressCallback(nullptr, nullptr); }

  std::string makeFile(const std::string& name, long long size, unsigned seed = 7) {
    const std::string data = RandomBytes(size, seed);
    WriteFile(files.file(name), data);
    return data;
  }

  int upload(const std::string& name, const std::string& parent = "\\ZU\\DR Backup\\Job 1") {
    return service.UploadFile(files.path() + "/", name, parent, "2024-05-17 10:11:12", guid,
                              message);
  }

  TempDir files;
  Progress progress;
  std::string guid = "untouched";
  std::wstring message;
};

struct SizeCase {
  const char* label;
  long long size;
  std::vector<Shape> requests;
};

class FolderUploadSizes : public FolderUploadTest,
                          public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FolderUploadSizes, RequestsEofPlacementAndStoredFile) {
  const SizeCase& c = GetParam();
  const std::string data = makeFile("backup.dat", c.size);
  const int fdsBefore = CountOpenFds();

  ASSERT_EQ(1, upload("backup.dat")) << std::string(message.begin(), message.end());
  EXPECT_EQ(c.requests, Shapes(cloud.events()));

  const std::vector<StoredFile> stored = cloud.stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ("backup.dat", stored[0].name);
  EXPECT_EQ("\\ZU\\DR Backup\\Job 1", stored[0].parentPath);
  EXPECT_EQ(std::to_string(c.size), stored[0].fileSize);
  EXPECT_EQ("2024-05-17 10:11:12", stored[0].modifiedTime);
  EXPECT_TRUE(stored[0].data == data) << "stored bytes differ";
  EXPECT_EQ(stored[0].guid, guid);
  EXPECT_EQ(0, cloud.unauthorized());
  EXPECT_EQ(2, cloud.logins());  // UploadFile's own and the session request's

  // URLs, headers and one gateway per chunk (the session has its own).
  const std::vector<UploadEvent> events = cloud.events();
  EXPECT_EQ(kSessionUrl, events[0].url);
  // Every request that carries file bytes, the session request with the
  // first chunk included, goes through the bandwidth cap's pacer.
  for (const UploadEvent& event : events) {
    if (event.kind != "query") {
      EXPECT_EQ(1, event.pacedSharers) << event.kind;
    }
  }
  std::vector<int> gatewayIds;
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(kChunkUrl, events[i].url);
    gatewayIds.push_back(events[i].gatewayId);
    EXPECT_NE(events[0].gatewayId, events[i].gatewayId);
    if (i > 1) {
      EXPECT_GT(events[i].gatewayId, events[i - 1].gatewayId);
    }
  }
  const std::vector<std::string> names = {"Accept",      "Authtoken",        "FileName",
                                          "FileSize",    "FileModifiedtime", "ParentFolderPath",
                                          "Content-Type"};
  EXPECT_EQ(names, HeaderNames(events[0].headers));
  std::vector<std::string> lastNames = names;
  lastNames.push_back("FileEOF");
  EXPECT_EQ(lastNames, HeaderNames(events.back().headers));
  EXPECT_EQ("1", HeaderValue(events.back().headers, "FileEOF"));
  EXPECT_EQ("application/xml", HeaderValue(events.back().headers, "Accept"));
  EXPECT_EQ("application/octet-stream", HeaderValue(events.back().headers, "Content-Type"));
  EXPECT_EQ(std::to_string(c.size), HeaderValue(events.back().headers, "FileSize"));

  // Progress from 0 to the whole size, never going back.
  {
    std::lock_guard<std::mutex> lock(progress.mutex);
    ASSERT_FALSE(progress.sent.empty());
    EXPECT_EQ(0u, progress.sent.front());
    EXPECT_EQ(static_cast<unsigned long long>(c.size), progress.sent.back());
    for (size_t i = 1; i < progress.sent.size(); ++i) {
      EXPECT_LE(progress.sent[i - 1], progress.sent[i]);
    }
    for (unsigned long long total : progress.totals) {
      EXPECT_EQ(static_cast<unsigned long long>(c.size), total);
    }
  }
  EXPECT_TRUE(sleeps.waits().empty());
  EXPECT_EQ(0, gatewaysLeft());
  EXPECT_EQ(fdsBefore, CountOpenFds());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FolderUploadSizes,
    ::testing::Values(
        SizeCase{"Empty", 0, {{"session", 0, false}, {"query", 0, true}}},
        SizeCase{"OneByte", 1, {{"session", 1, false}, {"query", 0, true}}},
        SizeCase{"ThreeMiB", 3 * kMiB, {{"session", 3 * kMiB, false}, {"query", 0, true}}},
        SizeCase{"ExactlyOneChunk", kChunk, {{"session", kChunk, false}, {"query", 0, true}}},
        SizeCase{"TenMiB",
                 10 * kMiB,
                 {{"session", kChunk, false}, {"chunk", kChunk, false}, {"chunk", 2 * kMiB, true}}},
        SizeCase{"ThreeChunksAndOneByte",
                 3 * kChunk + 1,
                 {{"session", kChunk, false},
                  {"chunk", kChunk, false},
                  {"chunk", kChunk, false},
                  {"chunk", 1, true}}}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.label); });

TEST_F(FolderUploadTest, NamesAndParentPathsSurviveTheBase64Headers) {
  const std::string name = "Backup of Ünïcødé & Co — full set (2024) with a long name.bin";
  const std::string parent = "\\ZU\\Bäckup & Restore\\sub dir\\日本";
  const std::string data = makeFile(name, 5000);
  ASSERT_EQ(1, upload(name, parent));
  const std::vector<StoredFile> stored = cloud.stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(name, stored[0].name);
  EXPECT_EQ(parent, stored[0].parentPath);
  for (const UploadEvent& e : cloud.events()) {
    const std::string encodedName = HeaderValue(e.headers, "FileName");
    EXPECT_EQ(std::string::npos, encodedName.find('\n'));
    EXPECT_EQ(zu::Base64OneLine(name), encodedName);
    EXPECT_EQ(zu::Base64OneLine(parent), HeaderValue(e.headers, "ParentFolderPath"));
  }
}

// "DRBackupUploadMaxMbps" counts megabits per second (125000 bytes each),
// read by each upload; an upload without it lifts the cap again.
TEST_F(FolderUploadTest, TheRateCapSettingCountsMegabitsPerSecond) {
  makeFile("capped.bin", 3000);
  env.setGlobal("DRBackupUploadMaxMbps", "8000");  // 10^9 bytes/s: no wait here
  ASSERT_EQ(1, upload("capped.bin"));
  EXPECT_EQ(zu::SendPacer::Global().Rate(), 1000000000ull);
  env.setGlobal("DRBackupUploadMaxMbps", "");
  ASSERT_EQ(1, upload("capped.bin"));
  EXPECT_EQ(zu::SendPacer::Global().Rate(), 0ull);
}

TEST_F(FolderUploadTest, SourceDirIsJoinedOntoTheFileNameAsGiven) {
  const std::string data = makeFile("prefix-data.bin", 10);
  std::string fileGUID;
  ASSERT_EQ(
      1, service.UploadFile(files.path() + "/prefix-", "data.bin", "\\p", "t", fileGUID, message));
  ASSERT_EQ(1u, cloud.stored().size());
  EXPECT_EQ("data.bin", cloud.stored()[0].name);
  EXPECT_EQ(data, cloud.stored()[0].data);
}

TEST_F(FolderUploadTest, ChunkStoredButReplyFailedIsConfirmedByTheOffsetQuery) {
  const std::string data = makeFile("f.bin", 10 * kMiB);
  cloud.addFault("chunk", UploadFault::kStoreThen500);
  ASSERT_EQ(1, upload("f.bin"));
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", 2 * kMiB, true}}),
            Shapes(cloud.events()));
  ASSERT_EQ(1u, cloud.stored().size());
  EXPECT_TRUE(cloud.stored()[0].data == data);
  EXPECT_EQ(cloud.stored()[0].guid, guid);
  EXPECT_EQ(L"Error: Failed to upload chunk to cloud.", message);  // stays after success
  EXPECT_EQ((std::vector<unsigned int>{120000}), sleeps.waits());
  // The offset query goes through the chunk's own gateway.
  const std::vector<UploadEvent> events = cloud.events();
  EXPECT_EQ(events[1].gatewayId, events[2].gatewayId);

  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to upload chunk to cloud for file [f.bin]. Upload "
                                 "attempt [1]. Curl Error Message [HTTP 500], Error response: "
                                 "[<html>500 Internal Server Error</html>]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to upload chunk to cloud for file [f.bin], chunk "
                                 "offset start: [4194304] end: [8388608]. Retrying after [120000] "
                                 "ms, retry count [1]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Success: upload of chunk to cloud for file [f.bin] was "
                                 "successfull. chunk offset [8388608], Upload attempt [2]."));
}

// A chunk is sent again without asking first only after the server named
// its start: a reply that names no offset is followed by the question.
TEST_F(FolderUploadTest, DroppedChunkIsResentOnlyAfterTheServerNamedItsStart) {
  const std::string data = makeFile("f.bin", 10 * kMiB);
  cloud.addFault("chunk", UploadFault::kDropThen500);
  cloud.addFault("chunk", UploadFault::kEmptyOk);  // the resend, answered with nothing
  ASSERT_EQ(1, upload("f.bin"));
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"chunk", 2 * kMiB, true}}),
            Shapes(cloud.events()));
  ASSERT_EQ(1u, cloud.stored().size());
  EXPECT_TRUE(cloud.stored()[0].data == data);
  EXPECT_EQ((std::vector<unsigned int>(2, 120000)), sleeps.waits());

  const std::string log = env.logText();
  EXPECT_EQ(2u, CountOccurrences(log,
                                 "Error: Last chunk wasn't uploaded. Chunk Offset received from "
                                 "webserver: [4194304]."));
  EXPECT_EQ(1u, CountOccurrences(log, "Error: Webserver responded with response string: []."));
}

TEST_F(FolderUploadTest, ResendFailingAtTransportOrUnserializationQueriesAgain) {
  const std::string data = makeFile("f.bin", 10 * kMiB);
  cloud.addFault("chunk", UploadFault::kDropThen500);
  cloud.addFault("chunk", UploadFault::kTransport);  // resend fails at transport level
  cloud.addFault("chunk", UploadFault::kGarbageOk);  // next resend cannot be read
  ASSERT_EQ(1, upload("f.bin"));
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"chunk", 2 * kMiB, true}}),
            Shapes(cloud.events()));
  ASSERT_EQ(1u, cloud.stored().size());
  EXPECT_TRUE(cloud.stored()[0].data == data);
  EXPECT_EQ(L"Error: Unserialization failed for response string", message);
  const std::string log = env.logText();
  EXPECT_EQ(3u, CountOccurrences(log,
                                 "Error: Last chunk wasn't uploaded. Chunk Offset received from "
                                 "webserver: [4194304]."));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Unserialization failed for string "
                                 "[<UploadFileResp><chunkOffset>12ab</chunkOffset></"
                                 "UploadFileResp>]."));
  EXPECT_EQ(1u, CountOccurrences(
                    log, "Curl Error Message [Connection reset by peer], Error response: []"));
}

// The 0-byte last chunk answered with the whole size but no GUID is a
// failed attempt; the offset query then names the GUID.
TEST_F(FolderUploadTest, LastChunkAnsweredWithoutGuidClearsTheSkipAndQueries) {
  makeFile("f.bin", 3 * kMiB);
  cloud.addFault("query", UploadFault::kNoGuid);  // the 0-byte last chunk
  EXPECT_EQ(1, upload("f.bin"));
  EXPECT_EQ(L"Error: Failed to login to cloud. Please check the internet connection", message);
  EXPECT_EQ(
      (std::vector<Shape>{{"session", 3 * kMiB, false}, {"query", 0, true}, {"query", 0, true}}),
      Shapes(cloud.events()));
  EXPECT_EQ(1u, CountOccurrences(env.logText(),
                                 "Error: Unserialization failed for string "
                                 "[<UploadFileResp><chunkOffset>3145728</chunkOffset></"
                                 "UploadFileResp>]\n"));
  ASSERT_EQ(1u, cloud.stored().size());
  EXPECT_EQ(cloud.stored()[0].guid, guid);
}

// A fault of the fake: the next `count` requests of `kind` after the first
// `skip` of them.
struct Fault {
  const char* kind;
  UploadFault fault;
  int count;
  int skip;
  long long held = 0;  // kHoldThen500: the bytes the server keeps
};

// What the server holds after replies that were lost or that name another
// offset than the chunk's end.
struct HeldCase {
  const char* label;
  long long size;
  int retryCount;
  std::vector<Fault> faults;
  int result;
  std::vector<Shape> requests;
  std::vector<unsigned int> waits;
  std::wstring message;  // the caller's message after a failure
  std::string logLine;   // a line the log holds once
};

void PrintTo(const HeldCase& c, std::ostream* out) { *out << c.label; }

class FolderUploadHeld : public FolderUploadTest, public ::testing::WithParamInterface<HeldCase> {};

TEST_P(FolderUploadHeld, ReportsAFileStoredOnlyWhenTheServerHoldsItWhole) {
  const HeldCase& c = GetParam();
  const std::string data = makeFile("f.bin", c.size);
  service.m_nRetryCount = c.retryCount;
  for (const Fault& f : c.faults) {
    if (f.fault == UploadFault::kHoldThen500) {
      cloud.addHoldFault(f.kind, f.held, f.skip);
    } else {
      cloud.addFault(f.kind, f.fault, f.count, f.skip);
    }
  }
  EXPECT_EQ(c.result, upload("f.bin")) << std::string(message.begin(), message.end());
  EXPECT_EQ(c.requests, Shapes(cloud.events()));
  EXPECT_EQ(c.waits, sleeps.waits());
  EXPECT_EQ(1u, CountOccurrences(env.logText(), c.logLine)) << env.logText();
  const std::vector<StoredFile> stored = cloud.stored();
  if (c.result == 1) {
    // The file the last session completed (an earlier one may have too).
    ASSERT_FALSE(stored.empty());
    EXPECT_TRUE(stored.back().data == data) << "stored bytes differ";
    EXPECT_EQ(stored.back().guid, guid);
  } else {
    EXPECT_EQ("untouched", guid);
    EXPECT_EQ(c.message, message);
  }
  EXPECT_EQ(0, gatewaysLeft());
}

constexpr long long kThreeChunksAndFive = 3 * kChunk + 5;
const wchar_t* const kMoreThanSent =
    L"Error: The cloud holds more bytes of the file than were sent, also after its upload was "
    L"started again; the file was not uploaded.";
// The requests of a session of that file broken off after chunk 2 (a reply
// that names more than was sent ends it).
const std::vector<Shape> kFirstThree = ChunkRequests(kThreeChunksAndFive, 0, 3);
const std::vector<Shape> kWholeTen = WholeFile(10 * kMiB);

// A case from its fields in their order: a call keeps the rows short.
HeldCase Held(const char* label, long long size, int retryCount, std::vector<Fault> faults,
              int result, std::vector<Shape> requests, std::vector<unsigned int> waits,
              std::wstring message, std::string logLine) {
  return {label,
          size,
          retryCount,
          std::move(faults),
          result,
          std::move(requests),
          std::move(waits),
          std::move(message),
          std::move(logLine)};
}

// A case of the last chunk of a 10 MiB file, 3 attempts: the whole file is
// sent, then the requests `after`.
HeldCase LastChunkCase(const char* label, std::vector<Fault> faults, int result,
                       const std::vector<Shape>& after, std::vector<unsigned int> waits,
                       std::wstring message, std::string logLine) {
  return Held(label, 10 * kMiB, 3, std::move(faults), result, Requests({kWholeTen, after}),
              std::move(waits), std::move(message), std::move(logLine));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderUploadHeld,
    ::testing::Values(
        // Chunk 2 reached the server twice: its reply says 12 MiB, not 8.
        Held("ChunkReplyPastItsEnd", kThreeChunksAndFive, 3, {{"chunk", UploadFault::kTwice, 1, 0}},
             1, Requests({kFirstThree, WholeFile(kThreeChunksAndFive)}), {}, L"",
             "Error: The server holds [12582912] bytes of file [f.bin] where [8388608] were "
             "sent; its upload starts again from byte 0 (restart [1] of [3])."),
        // A reply naming the chunk's start sends it again at once.
        Held("ReplyNamesTheChunksStart", kThreeChunksAndFive, 3,
             {{"chunk", UploadFault::kHeldOffset, 1, 0}}, 1,
             Requests({ChunkRequests(kThreeChunksAndFive, 0, 2),
                       ChunkRequests(kThreeChunksAndFive, 1, 4)}),
             {120000}, L"",
             "Error: Chunk Offset received from webserver: [4194304], output XML: "
             "[<UploadFileResp><chunkOffset>4194304</chunkOffset></UploadFileResp>]."),
        Held("OffsetQueryPastTheEnd", kThreeChunksAndFive, 3,
             {{"chunk", UploadFault::kTwiceThen500, 1, 0}}, 1,
             Requests({kFirstThree, {kQuery}, WholeFile(kThreeChunksAndFive)}), {120000}, L"",
             "Error: The server holds [12582912] bytes of file [f.bin] where [8388608] were "
             "sent; its upload starts again from byte 0 (restart [1] of [3])."),
        // As many restarts as the retry count allows.
        Held("RestartsUpToTheLimit", kThreeChunksAndFive, 2, {{"chunk", UploadFault::kTwice, 2, 0}},
             1, Requests({kFirstThree, kFirstThree, WholeFile(kThreeChunksAndFive)}), {}, L"",
             "its upload starts again from byte 0 (restart [2] of [2])."),
        Held("OneRestartTooMany", kThreeChunksAndFive, 2, {{"chunk", UploadFault::kTwice, 3, 0}}, 0,
             Requests({kFirstThree, kFirstThree, kFirstThree}), {}, kMoreThanSent,
             "Error: The server holds [12582912] bytes of file [f.bin] where [8388608] were "
             "sent, after [2] restarts of its upload; the file was not uploaded."),
        // The last chunk stored, its reply lost: the offset query names the
        // whole size and the GUID.
        LastChunkCase("LastChunkReplyLostQueryNamesTheGuid",
                      {{"chunk", UploadFault::kStoreThen500, 1, 1}}, 1, {kEofQuery}, {120000}, L"",
                      "Success: upload of chunk to cloud for file [f.bin] was successfull. chunk "
                      "offset [10485760], Upload attempt [2]."),
        // The query names no GUID: one more empty "FileEOF" request asks.
        LastChunkCase("LastChunkQueryWithoutGuidAsksOnceMore",
                      {{"chunk", UploadFault::kStoreThen500, 1, 1},
                       {"query", UploadFault::kNoGuid, 1, 0}},
                      1, {kEofQuery, kEofQuery}, {120000}, L"",
                      "Warning: The server holds all [10485760] bytes of file [f.bin] but named no "
                      "fileGUID; asking for it once more."),
        LastChunkCase(
            "LastChunkGuidNeverNamed",
            {{"chunk", UploadFault::kStoreThen500, 1, 1}, {"query", UploadFault::kNoGuid, 2, 0}}, 0,
            {kEofQuery, kEofQuery}, {120000},
            L"Error: The cloud holds the whole file but named no file GUID for it; the upload "
            L"is not confirmed.",
            "Error: The server holds all [10485760] bytes of file [f.bin] but named no "
            "fileGUID, also when asked again."),
        // The last chunk reached the server twice: the second is answered
        // "already complete" (an error), the offset query names the file.
        LastChunkCase("ResendOfTheLastChunkFindsItComplete", {{"chunk", UploadFault::kTwice, 1, 1}},
                      1, {kWholeTen.back(), kEofQuery}, {120000}, L"",
                      "Error: Failed to upload chunk to cloud for file [f.bin]. Upload attempt "
                      "[1]. Curl Error Message [HTTP 400], Error response: [<GenericResp>"
                      "<errorText>Upload already complete</errorText></GenericResp>]"),
        // A GUID with an offset past the size starts again; one short of it
        // is a failed attempt.
        LastChunkCase("LastChunkGuidWithAnOffsetPastTheSize",
                      {{"chunk", UploadFault::kOffsetAbove, 1, 1}}, 1, kWholeTen, {}, L"",
                      "Error: The server holds [10485761] bytes of file [f.bin] where [10485760] "
                      "were sent; its upload starts again from byte 0 (restart [1] of [3])."),
        LastChunkCase("LastChunkGuidWithAnOffsetShortOfTheSize",
                      {{"chunk", UploadFault::kOffsetBelow, 1, 1}}, 1, kWholeTen, {}, L"",
                      "Error: The server holds [10485759] bytes of file [f.bin] where [10485760] "
                      "were sent; its upload starts again from byte 0 (restart [1] of [3]).")),
    [](const ::testing::TestParamInfo<HeldCase>& info) { return std::string(info.param.label); });

// The server holds `held` bytes after chunk `index` of the 12 MiB + 5 file
// was sent and its reply lost (it lost confirmed bytes, kept part of the
// chunk or holds bytes never sent); the offset query names them. Chunk 3
// carries "FileEOF", and so does its query.
HeldCase HeldAfterChunk(int index, const char* label, long long held) {
  const long long size = kThreeChunksAndFive;
  const long long start = index * kChunk;
  const long long end = std::min(start + kChunk, size);
  const bool eof = end == size;
  const std::vector<Shape> sent = ChunkRequests(size, 0, index + 1);
  const Shape query = eof ? kEofQuery : kQuery;
  std::vector<Shape> after = WholeFile(size);
  std::string line = "Error: The server holds [" + std::to_string(held) +
                     "] bytes of file [f.bin] where [" + std::to_string(end) +
                     "] were sent; its upload starts again from byte 0 (restart [1] of [3]).";
  if (held == end) {
    after = ChunkRequests(size, index + 1, 4);
    line = "Success: upload of chunk to cloud for file [f.bin] was successfull. chunk offset [" +
           std::to_string(end) + "], Upload attempt [2].";
  } else if (held == start) {
    after = ChunkRequests(size, index, 4);
    line = "Error: Last chunk wasn't uploaded. Chunk Offset received from webserver: [" +
           std::to_string(held) + "].";
  } else if (held == start - kChunk) {
    after = ChunkRequests(size, index - 1, 4);
    line = "its upload goes on from byte [" + std::to_string(held) +
           "], read again (restart [1] of [3]).";
  }
  return Held(label, size, 3, {{"chunk", UploadFault::kHoldThen500, 1, index - 1, held}}, 1,
              Requests({sent, {query}, after}), {120000}, L"", line);
}

// Each held offset around a chunk, for a chunk in the middle and the one
// that carries "FileEOF"; then the budget of going back.
std::vector<HeldCase> HeldOffsetCases() {
  std::vector<HeldCase> cases;
  struct Around {
    const char* name;
    long long (*held)(long long start, long long end);
  };
  const Around around[] = {
      {"StartLessOneChunk", [](long long start, long long) { return start - kChunk; }},
      {"Zero", [](long long, long long) { return 0LL; }},
      {"StartLessOne", [](long long start, long long) { return start - 1; }},
      {"Start", [](long long start, long long) { return start; }},
      {"StartPlusOne", [](long long start, long long) { return start + 1; }},
      {"EndLessOne", [](long long, long long end) { return end - 1; }},
      {"End", [](long long, long long end) { return end; }},
      {"EndPlusOne", [](long long, long long end) { return end + 1; }},
  };
  static std::deque<std::string> labels;  // the cases point at their labels
  for (int index : {2, 3}) {
    const long long start = index * kChunk;
    const long long end = std::min(start + kChunk, kThreeChunksAndFive);
    for (const Around& a : around) {
      labels.push_back(std::string(index == 3 ? "EofChunkHeld" : "MiddleChunkHeld") + a.name);
      cases.push_back(HeldAfterChunk(index, labels.back().c_str(), a.held(start, end)));
    }
  }
  // Each going back counts against the retry count (2 here): twice is
  // within it, a third time fails the file.
  const Fault back{"chunk", UploadFault::kHoldThen500, 1, 1, kChunk};
  const std::vector<Shape> goneBack = Requests({ChunkRequests(kThreeChunksAndFive, 0, 3),
                                                {kQuery},
                                                ChunkRequests(kThreeChunksAndFive, 1, 3),
                                                {kQuery},
                                                ChunkRequests(kThreeChunksAndFive, 1, 3),
                                                {kQuery}});
  cases.push_back(Held("GoingBackAsOftenAsTheRetryCount", kThreeChunksAndFive, 2, {back, back}, 1,
                       Requests({std::vector<Shape>(goneBack.begin(), goneBack.end() - 3),
                                 ChunkRequests(kThreeChunksAndFive, 1, 4)}),
                       {120000, 120000}, L"",
                       "its upload goes on from byte [4194304], read again (restart [2] of [2])."));
  cases.push_back(Held("GoingBackOnceMoreThanTheRetryCount", kThreeChunksAndFive, 2,
                       {back, back, back}, 0, goneBack, {120000, 120000, 120000},
                       L"Error: The cloud holds fewer bytes of the file than were sent, also "
                       L"after its upload was started again; the file was not uploaded.",
                       "Error: The server holds [4194304] bytes of file [f.bin] where [12582912] "
                       "were sent, after [2] restarts of its upload; the file was not uploaded."));
  return cases;
}

INSTANTIATE_TEST_SUITE_P(HeldOffsets, FolderUploadHeld, ::testing::ValuesIn(HeldOffsetCases()),
                         [](const ::testing::TestParamInfo<HeldCase>& info) {
                           return std::string(info.param.label);
                         });

// The step each offset the server names gives a chunk of [8 MiB, 12 MiB) in
// 4 MiB chunks, and a last chunk of [12 MiB, 12 MiB + 5).
TEST(JudgeHeldOffset, EveryOffsetAroundAChunk) {
  using zu::folder::HeldStep;
  struct Row {
    long long held, start, end;
    HeldStep step;
    long long from;
  };
  const long long m = kMiB;
  const Row rows[] = {
      {12 * m, 8 * m, 12 * m, HeldStep::kConfirmed, 12 * m},
      {12 * m - 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {12 * m + 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {8 * m, 8 * m, 12 * m, HeldStep::kResendChunk, 8 * m},
      {8 * m + 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {8 * m - 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {4 * m, 8 * m, 12 * m, HeldStep::kReadFrom, 4 * m},
      {4 * m + 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {4 * m - 1, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {0, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {-4 * m, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {16 * m, 8 * m, 12 * m, HeldStep::kRestart, 0},
      {12 * m + 5, 12 * m, 12 * m + 5, HeldStep::kConfirmed, 12 * m + 5},
      {12 * m, 12 * m, 12 * m + 5, HeldStep::kResendChunk, 12 * m},
      {8 * m, 12 * m, 12 * m + 5, HeldStep::kReadFrom, 8 * m},
      {12 * m + 6, 12 * m, 12 * m + 5, HeldStep::kRestart, 0},
      // An empty last chunk starts where it ends; an empty file's is at 0.
      {8 * m, 8 * m, 8 * m, HeldStep::kConfirmed, 8 * m},
      {4 * m, 8 * m, 8 * m, HeldStep::kReadFrom, 4 * m},
      {0, 0, 0, HeldStep::kConfirmed, 0},
      {1, 0, 0, HeldStep::kRestart, 0},
  };
  for (const Row& r : rows) {
    const zu::folder::HeldDecision d = zu::folder::JudgeHeldOffset(r.held, r.start, r.end, 4 * m);
    EXPECT_EQ(r.step, d.step) << r.held << " of [" << r.start << ", " << r.end << ")";
    EXPECT_EQ(r.from, d.from) << r.held << " of [" << r.start << ", " << r.end << ")";
  }
}

// A reply that names no offset tells nothing of any chunk: the server is
// asked, whether the chunk is the first, a middle one, the last or empty.
TEST(JudgeHeldOffset, NoOffsetNamedAsks) {
  const long long m = kMiB;
  const long long chunks[][2] = {{0, 4 * m}, {8 * m, 12 * m}, {12 * m, 12 * m + 5}, {8 * m, 8 * m}};
  for (const auto& c : chunks) {
    const zu::folder::HeldDecision d = zu::folder::JudgeHeldOffset(std::nullopt, c[0], c[1], 4 * m);
    EXPECT_EQ(zu::folder::HeldStep::kAsk, d.step) << "[" << c[0] << ", " << c[1] << ")";
    EXPECT_EQ(0, d.from) << "[" << c[0] << ", " << c[1] << ")";
  }
}

// Chunk 2 of an 18 MiB + 5 byte file reached the server twice. Taking its
// reply (12 MiB) as a confirmation stored c1 c2 c2 c3 c5 and reported it
// uploaded; the upload starts again instead and stores the file's bytes.
TEST_F(FolderUploadTest, ADuplicatedChunkIsNotReportedAsTheFile) {
  const long long size = 18 * kMiB + 5;
  const std::string data = makeFile("f.bin", size);
  cloud.addFault("chunk", UploadFault::kTwice);
  ASSERT_EQ(1, upload("f.bin")) << std::string(message.begin(), message.end());
  EXPECT_EQ(Requests({ChunkRequests(size, 0, 3), WholeFile(size)}), Shapes(cloud.events()));
  const std::vector<StoredFile> stored = cloud.stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(static_cast<unsigned long long>(size), stored[0].size);
  EXPECT_TRUE(stored[0].data == data) << "stored bytes differ";
  EXPECT_EQ(stored[0].guid, guid);
  EXPECT_TRUE(sleeps.waits().empty());
  // The restart reports no progress twice: it grows to the size.
  std::lock_guard<std::mutex> lock(progress.mutex);
  EXPECT_EQ((std::vector<unsigned long long>{0, 4 * kMiB, 8 * kMiB, 12 * kMiB, 16 * kMiB,
                                             static_cast<unsigned long long>(size)}),
            progress.sent);
}

// A restart reads the file again from its start: a file changed since the
// upload began fails as any changed file does, and so does a file gone.
TEST_F(FolderUploadTest, ARestartOfAChangedOrMissingFileFails) {
  makeFile("f.bin", kThreeChunksAndFive);
  cloud.addFault("chunk", UploadFault::kTwice, 2);
  bool remove = false;
  cloud.setAfterUpload([this, &remove](const UploadEvent& event) {
    if (!event.faulted) return;
    if (remove) {
      ASSERT_EQ(0, unlink(files.file("f.bin").c_str()));
    } else {
      makeFile("f.bin", kThreeChunksAndFive, 99);  // same size, other bytes
    }
  });
  EXPECT_EQ(0, upload("f.bin"));
  EXPECT_EQ(
      L"Error: File [f.bin] changed during the upload (it was modified while it was read); "
      L"it was not uploaded. Upload it again once nothing writes to it.",
      message);
  EXPECT_EQ(kFirstThree, Shapes(cloud.events()));
  const std::string path = files.file("f.bin");
  EXPECT_EQ(1u, CountOccurrences(env.logText(), "Error: File [" + path +
                                                    "] changed during the upload: it was "
                                                    "modified while it was read."));

  remove = true;
  message.clear();
  EXPECT_EQ(0, upload("f.bin"));
  EXPECT_EQ(L"Error: Failed to open the file again to restart its upload.", message);
  EXPECT_EQ(6u, cloud.events().size());
  EXPECT_EQ(1u, CountOccurrences(env.logText(), "Error: Failed to open file [" + path +
                                                    "] again to restart its upload. "));
  EXPECT_EQ("untouched", guid);
  EXPECT_TRUE(cloud.stored().empty());
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderUploadTest, ChunkNeverConfirmedEndsTheUploadWithTheTotalLine) {
  makeFile("f.bin", 10 * kMiB);
  service.m_nRetryCount = 3;
  cloud.addFault("chunk", UploadFault::kTransport, 100);
  EXPECT_EQ(0, upload("f.bin"));
  EXPECT_EQ(L"Error: Failed to upload chunk to cloud.", message);
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"chunk", kChunk, false}}),
            Shapes(cloud.events()));
  EXPECT_EQ((std::vector<unsigned int>(3, 120000)), sleeps.waits());
  EXPECT_EQ(1u,
            CountOccurrences(env.logText(),
                             std::string("Error: Failed to upload [f.bin] file to cloud. Failed "
                                         "chunk start offset: [4194304], end offset: "
                                         "[8388608]. Total retry attempts: [3], API URL [") +
                                 kChunkUrl + "], User Name [ann]"));
  EXPECT_EQ(0, gatewaysLeft());
  EXPECT_TRUE(cloud.stored().empty());
}

// How long a doomed chunk waits at the default retry count (30): a server
// answering 500 to everything costs the chunk's 120 s, then the offset
// query's 30 waits of 60 s (about 32 min); one that answers the query with
// the chunk's start but fails every chunk costs 30 x 120 s (an hour).
// docs/operations.md, "How long a doomed file can take".
TEST_F(FolderUploadTest, ADoomedChunkWaitsHalfAnHourOrAnHourAtTheDefaultRetryCount) {
  makeFile("f.bin", 10 * kMiB);
  service.m_nRetryCount = 30;
  cloud.addFault("chunk", UploadFault::kDropThen500, 1000);
  cloud.addFault("query", UploadFault::kDropThen500, 30);
  EXPECT_EQ(0, upload("f.bin"));
  std::vector<unsigned int> expected{120000};
  expected.insert(expected.end(), 30, 60000);
  EXPECT_EQ(expected, sleeps.waits());

  EXPECT_EQ(0, upload("f.bin"));  // the queries answer now: 4 MiB, the chunk's start
  expected.insert(expected.end(), 30, 120000);
  EXPECT_EQ(expected, sleeps.waits());
}

TEST_F(FolderUploadTest, FailingOffsetQueryEndsTheChunkAttempts) {
  makeFile("f.bin", 10 * kMiB);
  service.m_nRetryCount = 2;
  cloud.addFault("chunk", UploadFault::kDropThen500);
  cloud.addFault("query", UploadFault::kTransport, 100);
  EXPECT_EQ(0, upload("f.bin"));
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false},
                                {"chunk", kChunk, false},
                                {"query", 0, false},
                                {"query", 0, false}}),
            Shapes(cloud.events()));
  // The chunk's wait, then the two offset-query waits; no wait after the stop.
  EXPECT_EQ((std::vector<unsigned int>{120000, 60000, 60000}), sleeps.waits());
  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to get chunk offset for file [f.bin]. Upload "
                                 "attempt [2]. Curl Error Message [Connection reset by peer], "
                                 "Error response: []"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to get last uploaded chunk offset to cloud for "
                                 "file [f.bin]. Retrying after [60000] ms, retry count [2]"));
  EXPECT_EQ(1u, CountOccurrences(log, "Total retry attempts: [1], API URL"));
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderUploadTest, OffsetQueryAnswers) {
  makeFile("f.bin", 10 * kMiB);
  service.m_nRetryCount = 4;
  cloud.addFault("chunk", UploadFault::kDropThen500);
  cloud.addFault("query", UploadFault::kEmptyOk);
  cloud.addFault("query", UploadFault::kGarbageOk);
  // An offset of 0 is an answer: the server lost the session's bytes.
  cloud.addFault("query", UploadFault::kZeroOffset);
  EXPECT_EQ(1, upload("f.bin"));
  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(log, "Error: Webserver responded with response string: []."));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Unserialization failed for string "
                                 "[<UploadFileResp><chunkOffset>12ab</chunkOffset></"
                                 "UploadFileResp>]."));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: The server holds [0] bytes of file [f.bin] where "
                                 "[8388608] were sent; its upload starts again from byte 0 "
                                 "(restart [1] of [4])."));
  EXPECT_EQ((std::vector<unsigned int>{120000, 60000, 60000}), sleeps.waits());
  EXPECT_EQ(
      Requests({ChunkRequests(10 * kMiB, 0, 2), {kQuery, kQuery, kQuery}, WholeFile(10 * kMiB)}),
      Shapes(cloud.events()));
  ASSERT_EQ(1u, cloud.stored().size());
}

TEST_F(FolderUploadTest, SessionRequestFailuresAndMessages) {
  makeFile("my file.bin", 100);
  service.m_nRetryCount = 2;
  cloud.addFault("session", UploadFault::kTransport);
  cloud.addFault("session", UploadFault::kEmptyOk);
  EXPECT_EQ(0, upload("my file.bin", "\\DR\\x"));
  EXPECT_EQ(L"Error: webServer handler responded with error response", message);
  EXPECT_EQ((std::vector<unsigned int>(2, 120000)), sleeps.waits());
  // The first chunk never reached the cloud: nothing beyond the start is
  // reported as sent.
  EXPECT_EQ((std::vector<unsigned long long>{0}), progress.sent);
  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to get upload session request ID. Error Message "
                                 "[Connection reset by peer]"));
  EXPECT_EQ(1u, CountOccurrences(log, "Error: webServer handler responded with error response []"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to get request Id for file: [my file.bin], parent "
                                 "path: [\\DR\\x]. Retrying after [120000] ms, retry count [1]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to get request Id for file: [my file.bin], parent "
                                 "path: [\\DR\\x]. Total retry count [2]"));
  EXPECT_EQ(0, gatewaysLeft());

  // The session request on its own: a reply that cannot be read.
  gateways.journal().responder = [](const FakeRequest& r) {
    if (r.url.find("/api/Login") != std::string::npos) {
      return FakeReply{
          0, "<CheckCredentialResp><sessionToken>t</sessionToken></CheckCredentialResp>", 200, ""};
    }
    return FakeReply{0, "requestId but no xml", 200, ""};
  };
  std::string requestId = "none";
  service.m_nRetryCount = 1;
  EXPECT_EQ(0,
            service.GetChunkUploadSessionID("cA==", "Zg==", "1", 1, "t", "x", requestId, message));
  EXPECT_EQ(L"Error: Unserialization failed for response string", message);
  EXPECT_EQ("none", requestId);
  EXPECT_EQ(1u,
            CountOccurrences(env.logText(),
                             "Error: Unserialization failed for string [requestId but no xml]\n"));
}

TEST_F(FolderUploadTest, LocalFileProblemsAndStateChecks) {
  const std::string folder = files.path() + "/";
  const std::string missing = "Error: Cannot open file [" + folder +
                              "missing.bin] to upload it: No such file or directory.";
  EXPECT_EQ(0, upload("missing.bin"));
  EXPECT_EQ(missing, FXString::ToString(message));
  EXPECT_EQ(1u, CountOccurrences(env.logText(), missing));
  // The folder without its '/': the joined path names no file.
  EXPECT_EQ(0, service.UploadFile(files.path(), "missing.bin", "p", "t", guid, message));
  EXPECT_EQ("Error: Cannot open file [" + files.path() +
                "missing.bin] to upload it: No such file or directory. The folder [" +
                files.path() + "] and the file name are joined as given: end the folder with '/'.",
            FXString::ToString(message));
  ASSERT_EQ(0, mkdir(files.file("sub").c_str(), 0700));
  EXPECT_EQ(0, upload("sub"));
  EXPECT_EQ("Error: Cannot open file [" + folder + "sub] to upload it: Is a directory.",
            FXString::ToString(message));

  makeFile("locked.bin", 10);
  ASSERT_EQ(0, chmod(files.file("locked.bin").c_str(), 0));
  if (geteuid() != 0) {
    message.clear();
    EXPECT_EQ(0, upload("locked.bin"));
    EXPECT_EQ("Error: Cannot open file [" + folder + "locked.bin] to upload it: Permission denied.",
              FXString::ToString(message));
  }
  EXPECT_EQ(0, cloud.logins());
  EXPECT_TRUE(cloud.events().empty());

  FolderServiceAccess fresh;
  EXPECT_EQ(0, fresh.UploadFile(files.path() + "/", "locked.bin", "p", "t", guid, message));
  EXPECT_EQ(
      L"Error: ZUCloudService not initialized, no user/password provided, call "
      L"ZUCloudService::init() first",
      message);
  std::string requestId;
  EXPECT_EQ(0, fresh.GetChunkUploadSessionID("p", "n", "1", 0, "t", "", requestId, message));
  EXPECT_EQ(
      L"ZUCloudService not initialized, no user/password provided, call "
      L"ZUCloudService::init() first",
      message);
}

TEST_F(FolderUploadTest, AReadErrorEndsTheUploadWithoutSendingMore) {
  makeFile("eio.bin", 3 * kChunk + 5);
  {
    // The second chunk cannot be read: only the session request went out.
    ScopedReadFailure failing(kChunk);
    int result = -1;
    RunBounded(
        "an upload whose second chunk cannot be read", [&] { result = upload("eio.bin"); },
        std::chrono::seconds(60));
    EXPECT_EQ(0, result);
    EXPECT_EQ(1, failing.failedReads());
  }
  EXPECT_EQ(
      L"Error: Failed to upload file to cloud. Please check ZUCloudService.log for more details.",
      message);
  EXPECT_EQ((std::vector<Shape>{{"session", kChunk, false}}), Shapes(cloud.events()));
  EXPECT_EQ(1u, CountOccurrences(env.logText(), "Error: Failed to read file [" + files.path() +
                                                    "/eio.bin]. read '"));
  EXPECT_EQ("untouched", guid);
  EXPECT_EQ(0, gatewaysLeft());

  {
    // The first chunk cannot be read: no upload request at all.
    ScopedReadFailure failing(0);
    message.clear();
    EXPECT_EQ(0, upload("eio.bin"));
  }
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(1u, cloud.events().size());
}

TEST_F(FolderUploadTest, LoginFailureStopsBeforeAnyUploadRequest) {
  makeFile("f.bin", 10);
  service.m_nRetryCount = 1;
  cloud.setLoginError("Account locked");
  EXPECT_EQ(0, upload("f.bin"));
  EXPECT_EQ(L"Error: The web console refused the login of user [ann]: Account locked", message);
  EXPECT_TRUE(cloud.events().empty());
  EXPECT_EQ(0, gatewaysLeft());
}

TEST_F(FolderUploadTest, NoGatewayForAChunk) {
  makeFile("f.bin", 10 * kMiB);
  service.m_nRetryCount = 2;
  // Refuse connections once the session request was answered.
  gateways.journal().responder = [this](const FakeRequest& r) {
    if (r.url.find("/api/Login") != std::string::npos) {
      return FakeReply{
          0, "<CheckCredentialResp><sessionToken>t</sessionToken></CheckCredentialResp>", 200, ""};
    }
    gateways.journal().connectResult = 1;
    return FakeReply{0, "<UploadFileResp><requestId>r</requestId></UploadFileResp>", 200, ""};
  };
  EXPECT_EQ(0, upload("f.bin"));
  // The chunk's own gateway could not connect: the message says where and why.
  EXPECT_EQ(
      L"Error: Cannot connect to upload.test port 80: the connection failed [Couldn't "
      L"connect to server].",
      message);
  EXPECT_EQ(1u, CountOccurrences(env.logText(), "Error: Failed to initialize ZuInternetGateway."));
  EXPECT_EQ(0, gatewaysLeft());
}

}  // namespace
}  // namespace zutest
