// The optional progress callback: what both services report while a file
// uploads, and that nothing is reported once the upload has returned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZuUploadProgress.h"
#include "session/UploadProgress.h"
#include "support/Emulator.h"
#include "support/EmulatorSuite.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace zutest {
namespace {

using nlohmann::json;

struct Report {
  std::string file;
  unsigned long long sent;
  unsigned long long total;
  bool afterReturn;
};

// Collects reports; `returned` is set by the test when UploadFile returns.
struct Recorder {
  std::mutex mutex;
  std::vector<Report> reports;
  std::atomic<bool> returned{false};

  static void Callback(void* context, const char* fileName, unsigned long long sent,
                       unsigned long long total) {
    auto* self = static_cast<Recorder*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->reports.push_back({fileName, sent, total, self->returned.load()});
  }
};

class ScopedCallback {
 public:
  explicit ScopedCallback(Recorder& recorder) {
    zuSetUploadProgressCallback(&Recorder::Callback, &recorder);
  }
  ~ScopedCallback() { zuSetUploadProgressCallback(nullptr, nullptr); }
};

// Reports of one file grow monotonically, never exceed the total and end at it.
void ExpectCompleteSequence(const std::vector<Report>& reports, const std::string& name,
                            unsigned long long size) {
  std::vector<Report> mine;
  for (const auto& r : reports) {
    if (r.file == name) mine.push_back(r);
  }
  ASSERT_FALSE(mine.empty()) << name;
  unsigned long long last = 0;
  for (const auto& r : mine) {
    EXPECT_EQ(r.total, size) << name;
    EXPECT_GE(r.sent, last) << name << ": progress went backwards";
    EXPECT_LE(r.sent, size) << name;
    EXPECT_FALSE(r.afterReturn) << name << ": reported after UploadFile returned";
    last = r.sent;
  }
  EXPECT_EQ(mine.back().sent, size) << name << ": did not end at the file size";
}

class ProgressTest : public EmulatorServiceSuite<ProgressTest> {
 public:
  static EmulatorOptions emulatorOptions() { return storageOptions(); }

 protected:
  void SetUp() override {
    resetEmulator(env, {{"DRBackupUploadBlobSize", "1"},
                        {"DRBackupUploadStreamCount", "3"},
                        {"DRBackupRetryCount", "2"}});
  }
};

TEST_F(ProgressTest, FolderUploadReportsEveryConfirmedChunk) {
  FolderServiceAccess service;
  std::string guid, path;
  ASSERT_EQ(service.init("ann", "s3cr3t", "focus", "guid-progress", guid, path, "", false), 1);
  Recorder recorder;
  ScopedCallback callback(recorder);
  for (size_t size : {size_t{0}, size_t{9 * 1048576 + 5}}) {
    const std::string name = "folder-" + std::to_string(size) + ".bin";
    WriteFile(files.file(name), RandomBytes(size, 1));
    std::string fileGUID;
    std::wstring message;
    recorder.returned = false;
    ASSERT_EQ(service.UploadFile(files.path() + "/", name, path, "t", fileGUID, message), 1);
    recorder.returned = true;
    ExpectCompleteSequence(recorder.reports, name, size);
  }
  // 9 MiB + 5 B is confirmed chunk by chunk: 4 MiB, 8 MiB, then the whole file.
  std::vector<unsigned long long> steps;
  for (const auto& r : recorder.reports) {
    if (r.file == "folder-9437189.bin" && (steps.empty() || steps.back() != r.sent)) {
      steps.push_back(r.sent);
    }
  }
  EXPECT_EQ(steps, (std::vector<unsigned long long>{0, 4194304, 8388608, 9437189}));
}

TEST_F(ProgressTest, BlobUploadReportsFromItsUploaderThreadsOnly) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(service.init("ann", "s3cr3t", "focus", "guid-progress", 1, 7, "set", 1, 7, message, ""),
            1);
  Recorder recorder;
  ScopedCallback callback(recorder);
  const size_t size = 5 * 1048576 + 7;
  WriteFile(files.file("blob.bin"), RandomBytes(size, 1));
  recorder.returned = false;
  ASSERT_EQ(service.UploadFile(files.path() + "/", "blob.bin", "p", message), 1);
  recorder.returned = true;
  // Anything still running would report now; give it the chance.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ExpectCompleteSequence(recorder.reports, "blob.bin", size);
}

TEST_F(ProgressTest, FailedUploadReportsNothingAfterItReturns) {
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(service.init("ann", "s3cr3t", "focus", "guid-progress", 1, 7, "set", 1, 7, message, ""),
            1);
  emulator->fault("put_block_list", {{"fault", "status"}, {"status", 500}, {"count", 0}});
  Recorder recorder;
  ScopedCallback callback(recorder);
  const size_t size = 2 * 1048576 + 1;
  WriteFile(files.file("doomed.bin"), RandomBytes(size, 1));
  EXPECT_EQ(service.UploadFile(files.path() + "/", "doomed.bin", "p", message), 0);
  recorder.returned = true;
  for (const auto& r : recorder.reports) {
    EXPECT_FALSE(r.afterReturn);
  }
  ASSERT_FALSE(recorder.reports.empty()) << "blocks were stored before the commit failed";
}

// Changes a file the first time its upload reports confirmed bytes (or,
// with `atStart`, at the report of 0 before anything is read): later reads
// see the change.
struct ChangeOnFirstReport {
  // kRewriteKeepTime rewrites bytes and then puts the old modification
  // time back, as `touch -d` or a restore tool would: only ctime tells.
  enum Kind { kGrow, kShrink, kRewrite, kRewriteKeepTime } kind;
  std::string path;
  std::string file;
  bool atStart = false;
  bool done = false;

  static void Callback(void* context, const char* fileName, unsigned long long sent,
                       unsigned long long) {
    auto* self = static_cast<ChangeOnFirstReport*>(context);
    if (self->done || (sent == 0) != self->atStart || self->file != fileName) return;
    self->done = true;
    std::FILE* f = std::fopen(self->path.c_str(), self->kind == kGrow ? "ab" : "r+b");
    ASSERT_NE(f, nullptr);
    if (self->kind == kGrow) std::fputs("more bytes", f);
    if (self->kind == kRewrite || self->kind == kRewriteKeepTime) std::fputs("other bytes", f);
    std::fclose(f);
    if (self->kind == kRewriteKeepTime) {
      const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, self->path.c_str(), old, 0), 0);
    }
    if (self->kind == kShrink) {
      ASSERT_EQ(::truncate(self->path.c_str(), 5 * 1048576 / 2), 0);
    }
  }
};

TEST_F(ProgressTest, AFileThatChangesDuringItsUploadFailsAndTheNextStillUploads) {
  BlobServiceAccess blob;
  FolderServiceAccess folder;
  std::wstring message;
  ASSERT_EQ(blob.init("ann", "s3cr3t", "focus", "guid-change", 1, 7, "set", 1, 7, message, ""), 1);
  std::string guid, path;
  ASSERT_EQ(folder.init("ann", "s3cr3t", "focus", "guid-change", guid, path, "", false), 1);
  // Blob: 1 MiB blocks, 3 slots, so the last of 4 blocks is read after the
  // first is confirmed. Blob in one request (up to 4 MiB): the file changes
  // as its upload starts. Folder: 4 MiB chunks, 3 of them.
  for (const char* target : {"blob", "single", "folder"}) {
    const bool useBlob = target != std::string("folder");
    const bool single = target == std::string("single");
    env.setGlobal("DRBackupUploadSingleRequestMiB", single ? "4" : "0");
    for (const auto kind : {ChangeOnFirstReport::kGrow, ChangeOnFirstReport::kShrink,
                            ChangeOnFirstReport::kRewrite, ChangeOnFirstReport::kRewriteKeepTime}) {
      const std::string name =
          std::string(target) + "-change-" + std::to_string(static_cast<int>(kind)) + ".bin";
      SCOPED_TRACE(name);
      WriteFile(files.file(name), RandomBytes(useBlob ? 3 * 1048576 + 5 : 9 * 1048576 + 5, 1));
      // An old modification time, so that a rewrite is seen even within
      // the clock's granularity.
      const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, files.file(name).c_str(), old, 0), 0);
      ChangeOnFirstReport change{kind, files.file(name), name, single};
      zuSetUploadProgressCallback(&ChangeOnFirstReport::Callback, &change);
      message.clear();
      std::string fileGUID;
      const int result =
          useBlob ? blob.UploadFile(files.path() + "/", name, "p", message)
                  : folder.UploadFile(files.path() + "/", name, path, "t", fileGUID, message);
      zuSetUploadProgressCallback(nullptr, nullptr);
      EXPECT_TRUE(change.done);
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(fileGUID.empty());
      EXPECT_EQ(message.rfind(L"Error: File [" + std::wstring(name.begin(), name.end()) +
                                  L"] changed during the upload (",
                              0),
                0u)
          << std::string(message.begin(), message.end());

      const std::string next = name + ".next";
      WriteFile(files.file(next), RandomBytes(1048576 + 1, 1));
      EXPECT_EQ(useBlob ? blob.UploadFile(files.path() + "/", next, "p", message)
                        : folder.UploadFile(files.path() + "/", next, path, "t", fileGUID, message),
                1);
    }
  }
  // Only the files that did not change were committed or completed.
  EXPECT_EQ(emulator->proxyStats().value("put_block_list", -1), 4);
  EXPECT_EQ(emulator->proxyStats().value("put_blob", -1), 4);
  const json stored = emulator->files();
  EXPECT_EQ(stored.size(), 4u);
  for (const json& f : stored) {
    const std::string name = f["name"].get<std::string>();
    EXPECT_EQ(name.substr(name.size() - 5), ".next") << name;
  }
}

TEST(ProgressCallback, UnregisteringWaitsForARunningCall) {
  // A call in progress holds up unregistering; after it returns no call follows.
  struct Slow {
    std::atomic<int> entered{0};
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
  } slow;
  auto callback = [](void* context, const char*, unsigned long long, unsigned long long) {
    auto* s = static_cast<Slow*>(context);
    s->calls++;
    s->entered = 1;
    while (!s->release) std::this_thread::yield();
  };
  zuSetUploadProgressCallback(callback, &slow);
  std::thread reporter([] { zu::ReportUploadProgress("f", 1, 2); });
  while (slow.entered == 0) std::this_thread::yield();
  std::atomic<bool> unregistered{false};
  std::thread unregister([&] {
    zuSetUploadProgressCallback(nullptr, nullptr);
    unregistered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(unregistered) << "unregistering returned while a call was running";
  slow.release = true;
  unregister.join();
  reporter.join();
  zu::ReportUploadProgress("f", 1, 2);
  EXPECT_EQ(slow.calls.load(), 1);
}

}  // namespace
}  // namespace zutest
