// A file over 4 GiB through UploadFile: 64-bit sizes and offsets in the
// headers, in the chunk bookkeeping and in the log lines. The file is sparse,
// so it costs no disk space, but reading it takes a while: the test's name
// starts with "Long" so CI can run it in a separate step.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/Emulator.h"
#include "support/FakeGateway.h"
#include "support/FolderFakeCloud.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

constexpr long long kChunk = 4194304;
constexpr long long kFourGiB = 4294967296LL;
constexpr long long kSize = kFourGiB + kChunk + 5;  // 1025 whole chunks and 5 bytes

void WriteAt(int fd, long long offset, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
            pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)));
}

TEST(FolderUploadLong, SparseFileOver4GiB) {
  ServiceEnv env;
  TempDir files;
  const std::string path = files.file("big.img");
  {
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kSize)));
    WriteAt(fd, 0, "head");
    WriteAt(fd, kFourGiB - 2, "ab|cd");  // straddles the 4 GiB mark
    WriteAt(fd, kSize - 3, "end");
    close(fd);
  }

  ScopedFakeGateways gateways;
  ScopedSleepRecorder sleeps;
  FolderFakeCloud cloud(gateways.journal());
  cloud.setKeepData(false);
  cloud.setKeepRequests(false);
  // The chunk from 4 GiB to 4 GiB + 4 MiB is stored but its reply fails; the
  // offset query must confirm it at its 64-bit end offset.
  cloud.addFault("chunk", UploadFault::kStoreThen500, 1, /*skip=*/1023);

  FolderServiceAccess service;
  service.forceInitialized("http://console.test/webconsole", "ann", "s3cr3t");
  service.m_uploadURL = "http://upload.test/files";
  service.m_shareID = "sh-9";
  std::string guid;
  std::wstring message;
  ASSERT_EQ(1, service.UploadFile(files.path() + "/", "big.img", "\\DR", "t", guid, message));

  const std::vector<StoredFile> stored = cloud.stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(guid, stored[0].guid);
  EXPECT_EQ("4299161605", stored[0].fileSize);
  EXPECT_EQ(static_cast<unsigned long long>(kSize), stored[0].size);
  EXPECT_EQ(HashFile(path), stored[0].hash);

  const std::vector<UploadEvent> events = cloud.events();
  ASSERT_EQ(1u + 1024u + 1u + 1u, events.size());  // session, chunks, one query, last
  long long expectedHeld = kChunk;
  int chunks = 0;
  for (const UploadEvent& e : events) {
    EXPECT_EQ("4299161605", HeaderValue(e.headers, "FileSize"));
    if (e.kind != "chunk") continue;
    ++chunks;
    EXPECT_EQ(expectedHeld, e.heldBefore);
    // Every chunk is stored once, the faulted one too (only its reply failed).
    expectedHeld += e.bodyLength;
  }
  EXPECT_EQ(1025, chunks);
  EXPECT_EQ(5, events.back().bodyLength);
  EXPECT_TRUE(events.back().eof);
  EXPECT_EQ(kFourGiB + kChunk, events.back().heldBefore);

  const std::string log = env.logText();
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Error: Failed to upload chunk to cloud for file [big.img], chunk "
                                 "offset start: [4294967296] end: [4299161600]. Retrying after "
                                 "[120000] ms, retry count [1]"));
  EXPECT_EQ(1u, CountOccurrences(log,
                                 "Success: upload of chunk to cloud for file [big.img] was "
                                 "successfull. chunk offset [4299161600], Upload attempt [2]."));
  EXPECT_EQ((std::vector<unsigned int>{120000}), sleeps.waits());
}

}  // namespace
}  // namespace zutest
