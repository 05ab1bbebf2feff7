// The soak: many uploads in one process through both services (folder
// service, and blob service in API mode with 1 MiB blocks), grouped in jobs
// as a backup host runs them, with random faults from a seeded generator
// injected before jobs, uploads and completions.
//
// Afterwards open descriptors and threads are back at their level after a
// warm-up job of each service, resident memory is within a small bound of
// it, every success is held byte for byte by the cloud, and every failure
// carries a message (the caller's, or where the operation leaves that empty
// by design, an error line in the service log written by that operation).
//
// ZUCLOUD_SOAK_UPLOADS sets the number of uploads (default 40; the long run
// uses 300), ZUCLOUD_SOAK_SEED the generator's seed.
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Emulator.h"
#include "support/EmulatorSuite.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace {

using zutest::RandomBytes;
using zutest::Sha256Hex;

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr long long kMiB = 1048576;
constexpr int kDefaultUploads = 40;
constexpr unsigned kDefaultSeed = 20240601u;
constexpr int kBlobRetryLimit = 2;  // the folder service keeps its fixed 30
constexpr long kStallLimitSeconds = 1;
constexpr double kEmulatorStallSeconds = 1.5;
// No single operation of the soak may take longer than this.
constexpr auto kOperationGuard = std::chrono::seconds(120);
// Resident memory may sit this much above the warm-up level afterwards
// (allocator bookkeeping and caches, not leaks that grow with the number of
// uploads). Free heap memory is handed back before each measurement so that
// the figure follows live memory: the test itself allocates tens of MiB
// per job (file contents, the emulator's JSON answers), which the
// allocator would otherwise keep.
constexpr long long kRssBoundKiB = 16 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer keeps freed memory in quarantine and grows shadow memory:
// resident memory says nothing about leaks there (LeakSanitizer does).
constexpr bool kRssIsMeaningful = false;
#else
constexpr bool kRssIsMeaningful = true;
#endif

int EnvInt(const char* name, int fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  char* end = nullptr;
  const long parsed = std::strtol(value, &end, 10);
  return (end != nullptr && *end == '\0' && parsed > 0) ? static_cast<int>(parsed) : fallback;
}

long long VmRssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

// One emulator with storage for the executable; the gateway's stall limit
// is shortened for its lifetime so that stall faults end quickly.
auto* const kEnvironment =
    static_cast<zutest::StallLimitedEmulatorEnvironment*>(::testing::AddGlobalTestEnvironment(
        new zutest::StallLimitedEmulatorEnvironment(kStallLimitSeconds)));

zutest::Emulator& Emu() { return kEnvironment->emulator(); }

// Runs `operation` under the guard: one that outlives it cannot be stopped,
// so the process ends with a failure status instead of hanging.
void Guarded(const std::string& what, const std::function<void()>& operation) {
  zutest::RunBounded("soak: " + what, operation, kOperationGuard);
}

struct Figures {
  int fds = 0;
  int threads = 0;
  long long rssKiB = 0;
  long long heapInUseKiB = 0;  // allocated and not freed (all arenas, mmapped blocks included)
};

Figures Measure() {
  Figures figures;
  figures.fds = zutest::CountOpenFds();
  figures.threads = zutest::CountThreads();
  malloc_trim(0);
  figures.rssKiB = VmRssKiB();
  const struct mallinfo2 info = mallinfo2();
  figures.heapInUseKiB = static_cast<long long>((info.uordblks + info.hblkhd) / 1024);
  return figures;
}

class SoakRun {
 public:
  SoakRun(unsigned seed, int uploads) : m_gen(seed), m_target(uploads) {
    m_env.setGlobal("Cloud URL", Emu().consoleUrl());
    m_env.setGlobal("DRBackupUploadBlobSize", "1");
    m_env.setGlobal("DRBackupUploadStreamCount", "3");
    m_env.setGlobal("DRBackupRetryCount", std::to_string(kBlobRetryLimit));
    m_env.setGlobal("bEnableZUCloudDRBackupAPIMode", "true");
    m_env.setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode", "false");
  }

  // One job of each service without faults; true when both went through.
  // The counters start afresh afterwards.
  bool warmUp() {
    m_faultsOn = false;
    folderJob(1);
    blobJob(1);
    m_faultsOn = true;
    const bool ok = problems.empty() && uploadsOk == 2 && completionsOk == 1;
    logOnly.clear();
    m_uploads = uploadsOk = uploadsFailed = failuresWithLogOnly = storedDespiteFailure = 0;
    initFailures = completionsOk = completionsFailed = folderUploads = blobUploads = 0;
    return ok;
  }

  void run() {
    int jobs = 0;
    while (m_uploads < m_target && jobs < m_target * 4) {
      ++jobs;
      const int files = std::min(1 + static_cast<int>(m_gen() % 6), m_target - m_uploads);
      if (m_gen() % 2 == 0) {
        folderJob(files);
      } else {
        blobJob(files);
      }
    }
  }

  // Everything a failure or false success left to report.
  std::vector<std::string> problems;
  // Failures whose caller message was empty and whose reason is in the log.
  std::vector<std::string> logOnly;
  int uploadsOk = 0;
  int uploadsFailed = 0;
  int failuresWithLogOnly = 0;
  int storedDespiteFailure = 0;
  int initFailures = 0;
  int completionsOk = 0;
  int completionsFailed = 0;
  int faultsInjected = 0;
  int folderUploads = 0;
  int blobUploads = 0;

  int uploads() const { return m_uploads; }

 private:
  // -- faults -------------------------------------------------------------

  void maybeFault(const std::vector<std::string>& kinds, int percent) {
    if (!m_faultsOn || static_cast<int>(m_gen() % 100) >= percent) return;
    const std::string kind = kinds[m_gen() % kinds.size()];
    std::vector<json> faults = {
        {{"fault", "status"}, {"status", 500}},
        {{"fault", "status"}, {"status", 503}},
        {{"fault", "status"}, {"status", 403}},
        {{"fault", "reset"}},
        {{"fault", "empty"}},
        {{"fault", "garbage"}},
        {{"fault", "truncated"}},
    };
    if (m_gen() % 12 == 0) faults = {{{"fault", "stall"}, {"seconds", kEmulatorStallSeconds}}};
    if (kind == "upload_chunk" || kind == "offset_query") {
      faults.push_back({{"fault", "store_then_500"}});
      faults.push_back({{"fault", "drop_then_500"}});
    }
    if (kind == "put_block" || kind == "put_block_list") {
      faults.push_back({{"fault", "forward_then_status"}, {"status", 500}});
    }
    json fault = faults[m_gen() % faults.size()];
    const unsigned roll = m_gen() % 20;
    fault["count"] = roll < 14 ? 1 : (roll < 19 ? 2 : 3);
    Emu().fault(kind, fault);
    ++faultsInjected;
  }

  // -- messages -----------------------------------------------------------

  size_t logSize() const {
    std::ifstream log(m_env.logPath(), std::ios::binary | std::ios::ate);
    return log ? static_cast<size_t>(log.tellg()) : 0;
  }

  // What the service log gained since it had `from` bytes.
  std::string logSince(size_t from) const {
    std::ifstream log(m_env.logPath(), std::ios::binary);
    if (!log) return "";
    log.seekg(static_cast<std::streamoff>(from));
    std::ostringstream text;
    text << log.rdbuf();
    return text.str();
  }

  // A failure must say why: through the caller's message or, where the
  // operation leaves it empty by design, an error line it logged.
  void checkFailureMessage(const std::string& what, const std::wstring& message, size_t logBefore) {
    if (!message.empty()) return;
    const std::string added = logSince(logBefore);
    if (added.find(" ERROR ") != std::string::npos) {
      ++failuresWithLogOnly;
      logOnly.push_back(what);
      return;
    }
    problems.push_back(what + ": failed without any message");
  }

  struct LocalFile {
    std::string name;
    std::string data;
  };

  LocalFile newFile(const std::string& prefix) {
    static const long long kSizes[] = {0,        1,        4095,         65536,
                                       kMiB - 1, kMiB,     kMiB + 1,     2 * kMiB,
                                       3 * kMiB, 4 * kMiB, 4 * kMiB + 1, 5 * kMiB + 123};
    long long size = kSizes[m_gen() % (sizeof kSizes / sizeof kSizes[0])];
    if (m_gen() % 3 == 0) size = static_cast<long long>(m_gen() % (3 * kMiB));
    LocalFile file{prefix + "-" + std::to_string(++m_fileCounter) + ".bak",
                   RandomBytes(size, m_gen)};
    zutest::WriteFile(m_files.file(file.name), file.data);
    return file;
  }

  // -- folder service -----------------------------------------------------

  void folderJob(int count) {
    Emu().reset();
    const std::string guid = "soak-" + std::to_string(++m_jobCounter);
    maybeFault({"login", "folder_setup"}, 15);
    auto service = std::make_unique<zutest::FolderServiceAccess>();
    std::string folderGUID;
    std::string folderPath;
    const size_t before = logSize();
    int ok = 0;
    Guarded("folder init " + guid, [&] {
      ok = service->init("ann", "s3cr3t", "focus", guid, folderGUID, folderPath, "", false);
    });
    if (ok != 1) {
      ++initFailures;
      // init has no message argument: its log must say why.
      checkFailureMessage("folder init " + guid, L"", before);
      return;
    }
    for (int i = 0; i < count; ++i) {
      const LocalFile file = newFile("folder");
      maybeFault({"login", "upload_session", "upload_chunk", "offset_query"}, 50);
      std::wstring message;
      std::string fileGUID;
      const size_t logBefore = logSize();
      int result = 0;
      Guarded("folder upload " + file.name, [&] {
        result = service->UploadFile(m_files.path() + "/", file.name, folderPath + "\\Soak",
                                     "2024-06-01T08:00:00Z", fileGUID, message);
      });
      ++m_uploads;
      ++folderUploads;
      bool identical = false;
      std::string storedGUID;
      for (const json& f : Emu().files()) {
        if (f.value("name", "") != file.name) continue;
        identical = f.value("size", -1LL) == static_cast<long long>(file.data.size()) &&
                    f.value("sha256", "") == Sha256Hex(file.data);
        storedGUID = f.value("fileGUID", "");
      }
      if (result == 1) {
        ++uploadsOk;
        if (!identical) problems.push_back("folder " + file.name + ": success but not held");
        if (storedGUID != fileGUID) problems.push_back("folder " + file.name + ": wrong GUID");
      } else {
        ++uploadsFailed;
        if (identical) ++storedDespiteFailure;
        checkFailureMessage("folder upload " + file.name, message, logBefore);
      }
    }
  }

  // -- blob service -------------------------------------------------------

  void blobJob(int count) {
    Emu().reset();
    const std::string guid = "GUID-Soak-" + std::to_string(++m_jobCounter);
    maybeFault({"login", "blob_setup"}, 15);
    auto service = std::make_unique<zutest::BlobServiceAccess>();
    std::wstring message;
    size_t before = logSize();
    int ok = 0;
    Guarded("blob init " + guid, [&] {
      ok = service->init("ann", "s3cr3t", "focus", guid, 17, 500u + m_jobCounter, "set-1", 1, 500u,
                         message, "");
    });
    if (ok != 1) {
      ++initFailures;
      checkFailureMessage("blob init " + guid, message, before);
      return;
    }
    const std::string container = service->m_uploadURL.substr(service->m_uploadURL.rfind('/') + 1);
    std::vector<std::string> reported;  // files the completion must list, in order
    std::vector<LocalFile> held;
    for (int i = 0; i < count; ++i) {
      const LocalFile file = newFile("blob");
      maybeFault({"put_block", "put_block_list"}, 50);
      message.clear();
      const size_t logBefore = logSize();
      int result = 0;
      Guarded("blob upload " + file.name, [&] {
        result = service->UploadFile(m_files.path() + "/", file.name, "soak", message);
      });
      ++m_uploads;
      ++blobUploads;
      const json blob = Emu().blob(container, "soak/" + file.name);
      const bool identical =
          blob.value("exists", false) &&
          blob["size"].get<long long>() == static_cast<long long>(file.data.size()) &&
          blob["sha256"].get<std::string>() == Sha256Hex(file.data);
      if (result == 1) {
        ++uploadsOk;
        reported.push_back(file.name);
        if (!identical) problems.push_back("blob " + file.name + ": success but not held");
      } else {
        ++uploadsFailed;
        if (identical) ++storedDespiteFailure;
        checkFailureMessage("blob upload " + file.name, message, logBefore);
      }
    }
    maybeFault({"login", "blob_finalize"}, 25);
    message.clear();
    before = logSize();
    int completed = 0;
    Guarded("blob completion " + guid, [&] {
      completed = service->ExecuteDRCompleteWorkflow(500u + m_jobCounter, 1, message);
    });
    if (completed != 1) {
      ++completionsFailed;
      checkFailureMessage("blob completion " + guid, message, before);
      return;
    }
    ++completionsOk;
    // A confirmed completion was received and verified by the cloud and
    // lists exactly the files whose upload succeeded.
    bool found = false;
    for (const json& c : Emu().completions()) {
      if (c.value("mode", "") != "api" || c.value("guid", "") != guid) continue;
      if (!c.value("verified", false)) continue;
      std::vector<std::string> names;
      for (const json& f : c.value("files", json::array())) names.push_back(f.value("name", ""));
      if (names == reported) found = true;
    }
    if (!found)
      problems.push_back("blob completion " + guid + ": success the cloud did not verify");
  }

  zutest::ServiceEnv m_env;
  // Errors are always logged; the debug lines of hundreds of uploads are
  // not needed here.
  zutest::ScopedEnv m_logLevel{"ZUCLOUD_LOG_LEVEL", "3"};
  zutest::TempDir m_files;
  std::mt19937 m_gen;
  int m_target;
  int m_uploads = 0;
  int m_fileCounter = 0;
  unsigned m_jobCounter = 0;
  bool m_faultsOn = true;
};

TEST(Soak, UploadsUnderRandomFaultsLeaveNoResidueAndNoFalseSuccess) {
  const int uploads = EnvInt("ZUCLOUD_SOAK_UPLOADS", kDefaultUploads);
  const unsigned seed = static_cast<unsigned>(EnvInt("ZUCLOUD_SOAK_SEED", kDefaultSeed));
  std::printf("soak: %d uploads, seed %u (ZUCLOUD_SOAK_UPLOADS, ZUCLOUD_SOAK_SEED)\n", uploads,
              seed);
  const Clock::time_point start = Clock::now();

  Figures baseline;
  Figures after;
  SoakRun soak(seed, uploads);
  {
    ASSERT_TRUE(soak.warmUp()) << "the warm-up jobs run without faults and must succeed";
    baseline = Measure();
    soak.run();
    after = Measure();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf(
      "soak: uploads %d (folder %d, blob %d): ok %d, failed %d (%d with the reason only "
      "in the log, %d stored all the same), init failures %d, completions ok %d / "
      "failed %d, faults injected %d, %.1f s\n",
      soak.uploads(), soak.folderUploads, soak.blobUploads, soak.uploadsOk, soak.uploadsFailed,
      soak.failuresWithLogOnly, soak.storedDespiteFailure, soak.initFailures, soak.completionsOk,
      soak.completionsFailed, soak.faultsInjected, seconds);
  std::printf(
      "soak: open fds %d -> %d, threads %d -> %d, VmRSS %lld KiB -> %lld KiB (%+lld KiB), "
      "heap in use %lld KiB -> %lld KiB (%+lld KiB)%s\n",
      baseline.fds, after.fds, baseline.threads, after.threads, baseline.rssKiB, after.rssKiB,
      after.rssKiB - baseline.rssKiB, baseline.heapInUseKiB, after.heapInUseKiB,
      after.heapInUseKiB - baseline.heapInUseKiB,
      kRssIsMeaningful ? "" : " (sanitizer build: memory not checked)");
  for (const std::string& what : soak.logOnly) {
    std::printf("soak: empty caller message, reason in the log: %s\n", what.c_str());
  }
  std::fflush(stdout);

  for (const std::string& problem : soak.problems) ADD_FAILURE() << problem;
  EXPECT_EQ(soak.uploads(), uploads) << "too many jobs failed their init";
  EXPECT_EQ(soak.uploadsOk + soak.uploadsFailed, soak.uploads());
  // The faults must have bitten and the services must still get work done.
  EXPECT_GT(soak.faultsInjected, 0);
  EXPECT_GT(soak.uploadsOk, 0);
  EXPECT_EQ(after.fds, baseline.fds);
  EXPECT_EQ(after.threads, baseline.threads);
  ASSERT_GT(baseline.rssKiB, 0);
  if (kRssIsMeaningful) {
    EXPECT_LE(after.rssKiB, baseline.rssKiB + kRssBoundKiB);
    EXPECT_LE(after.heapInUseKiB, baseline.heapInUseKiB + kRssBoundKiB);
  }
}

}  // namespace
