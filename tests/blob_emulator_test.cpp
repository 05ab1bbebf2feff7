// The blob service end to end against the cloud emulator with Azurite behind
// the storage proxy: every mode with files of awkward sizes, Put Block
// faults, a rejected SAS, resource release, the log's secrets, uploads
// resumed from the blocks the service holds, and the MD5 and access tier
// settings.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ZuUploadProgress.h"
#include "blob/setup/FileInfo.h"
#include "blob/storage/BlockId.h"
#include "platform/crypto/RegionLayout.h"
#include "support/BlobFakeCloud.h"
#include "support/ChildProcess.h"
#include "support/Emulator.h"
#include "support/EncryptedBlob.h"
#include "support/JournalText.h"
#include "support/ServiceAccess.h"
#include "support/TestData.h"
#include "support/TestEnv.h"

namespace {

using zutest::RandomBytes;
using zutest::Sha256Hex;

using nlohmann::json;
using zutest::BlobServiceAccess;

constexpr unsigned long long kMiB = 1048576;

// Base64 MD5 of `data`, made here with OpenSSL directly rather than with the
// library's own helper.
std::string Md5Of(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr), 1);
  unsigned char text[64] = {};
  EVP_EncodeBlock(text, digest, static_cast<int>(length));
  return reinterpret_cast<const char*>(text);
}

// The value of a journal entry's request header (any letter case), "" when
// it has none.
std::string HeaderOf(const nlohmann::json& entry, std::string name) {
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  name = lower(name);
  for (const nlohmann::json& header : entry.value("headers", nlohmann::json::array())) {
    if (lower(header[0].get<std::string>()) == name) return header[1].get<std::string>();
  }
  return "";
}

// Number of "sig=" (or "sig%3D") values in `text` that are neither empty
// nor REDACTED.
size_t UnredactedSignatures(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  size_t count = 0;
  for (const std::string name : {"sig=", "sig%3d"}) {
    for (size_t pos = lower.find(name); pos != std::string::npos; pos = lower.find(name, pos + 1)) {
      const size_t value = pos + name.size();
      if (value >= text.size()) continue;
      if (std::string("&<>\"' \n").find(text[value]) != std::string::npos) continue;
      if (text.compare(value, 8, "REDACTED") == 0) continue;
      ++count;
    }
  }
  return count;
}

enum class Mode { kApi, kWorkflow, kAzureFunctions };

struct LocalFile {
  std::string name;
  std::string data;
};

class BlobEmulator : public ::testing::TestWithParam<Mode> {
 protected:
  static void SetUpTestSuite() {
    zutest::EmulatorOptions options;
    options.storage = true;
    emulator_ = new zutest::Emulator(options);
  }
  static void TearDownTestSuite() {
    delete emulator_;
    emulator_ = nullptr;
  }

  void SetUp() override {
    emulator_->reset();
    env_ = std::make_unique<zutest::ServiceEnv>();
    env_->setGlobal("Cloud URL", emulator_->consoleUrl());
    env_->setGlobal("DRBackupUploadBlobSize", "1");
    env_->setGlobal("DRBackupUploadStreamCount", "3");
    env_->setGlobal("DRBackupRetryCount", "3");
    env_->setGlobal("ZUCloudDRBackupAzureBaseUrl", emulator_->consoleBase() + "/azfunc");
    setMode(GetParam());
  }

  void TearDown() override {
    // Across every blob test: never more Put Block requests at once than
    // the parallel setting allows (one by default).
    const json stats = emulator_->proxyStats();
    EXPECT_LE(stats.value("max_in_flight_put_block", 99), maxInFlight_) << stats.dump();
    EXPECT_EQ(stats.value("in_flight_put_block", 99), 0) << stats.dump();
  }

  void setMode(Mode mode) {
    env_->setGlobal("bEnableZUCloudDRBackupAPIMode", mode == Mode::kApi ? "true" : "false");
    env_->setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode",
                    mode == Mode::kAzureFunctions ? "true" : "false");
  }

  LocalFile addFile(const std::string& name, unsigned long long size) {
    LocalFile file{name, RandomBytes(static_cast<long long>(size),
                                     static_cast<unsigned int>(size * 2654435761u + name.size()))};
    zutest::WriteFile(files_.file(name), file.data);
    return file;
  }
  std::string dir() const { return files_.path() + "/"; }

  // Runs init as the host would; in Azure Functions mode the files are
  // registered first.
  int init(BlobServiceAccess& service, const std::string& guid, const std::vector<LocalFile>& files,
           std::wstring& message) {
    for (const LocalFile& f : files) service.AddFileInfo(dir() + f.name);
    return service.init("ann", "s3cr3t", "focus", guid, 17, 4294967295u, "set-1", 1, 4294967294u,
                        message, "");
  }

  void expectBlob(const std::string& container, const std::string& blobName,
                  const LocalFile& file) {
    SCOPED_TRACE(blobName);
    const json blob = emulator_->blob(container, blobName);
    ASSERT_TRUE(blob.value("exists", false)) << blob.dump();
    EXPECT_EQ(blob["size"].get<unsigned long long>(), file.data.size());
    EXPECT_EQ(blob["sha256"].get<std::string>(), Sha256Hex(file.data));
    const unsigned long long blocks = zu::blob::BlocksNeeded(file.data.size(), kMiB);
    ASSERT_EQ(blob["block_list"].size(), blocks);
    std::string firstTag;
    for (unsigned int n = 1; n <= blocks; ++n) {
      unsigned int number = 0;
      std::string tag;
      const std::string id = blob["block_list"][n - 1][0].get<std::string>();
      EXPECT_TRUE(zu::blob::BlockNumberOfId(id, number, tag)) << id;
      EXPECT_EQ(number, n);
      if (n == 1) firstTag = tag;
      EXPECT_EQ(tag, firstTag);  // one upload's blocks only
      EXPECT_EQ(blob["block_list"][n - 1][1].get<unsigned long long>(),
                n < blocks ? kMiB : file.data.size() - (blocks - 1) * kMiB);
    }
  }

  // The last completion report the emulator received.
  json lastCompletion() {
    const json all = emulator_->completions();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      const std::string mode = it->value("mode", "");
      if (mode == "api" || mode == "workflow" || mode == "af_finalize") return *it;
    }
    return json();
  }

  // Neither the SAS signature nor the password nor a session token reached
  // the log.
  void expectNoSecretsInLog(const BlobServiceAccess& service) {
    const std::string log = env_->logText();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos);
    EXPECT_EQ(log.find("czNjcjN0"), std::string::npos);
    EXPECT_EQ(UnredactedSignatures(log), 0u);
    std::vector<std::string> tokens = {service.m_sasToken};
    for (const auto& f : service.m_fileList) tokens.push_back(f->sasToken);
    for (const std::string& token : tokens) {
      const std::string::size_type sig = token.find("sig=");
      if (sig == std::string::npos) continue;
      const std::string value = token.substr(sig + 4, token.find('&', sig) - sig - 4);
      ASSERT_GE(value.size(), 8u);
      EXPECT_EQ(log.find(value), std::string::npos) << value;
      EXPECT_EQ(log.find(value.substr(0, 8)), std::string::npos) << value;
    }
    for (const json& entry : emulator_->journal()) {
      for (const json& header : entry.value("headers", json::array())) {
        if (header[0] == "Authtoken") {
          const std::string value = header[1];
          if (!value.empty()) {
            EXPECT_EQ(log.find(value), std::string::npos);
          }
        }
      }
    }
  }

  // Lets the next `good` Put Blocks through and refuses the one after them
  // on every attempt (the fixture's retry count is 3).
  static void refuseBlockAfter(int good) {
    emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0}, {"count", good}});
    emulator_->fault("put_block", {{"fault", "status"}, {"status", 503}, {"count", 3}});
  }

  // Uploads `name` to `folder` while storage takes only its first `good`
  // blocks: the upload fails, the blocks taken stay (and a journal, with
  // resume on).
  void uploadStoppedAfter(BlobServiceAccess& service, const std::string& name,
                          const std::string& folder, int good) const {
    std::wstring message;
    refuseBlockAfter(good);
    EXPECT_EQ(service.UploadFile(dir(), name, folder, message), 0);
  }

  // Block numbers of the Put Blocks storage accepted, in order.
  static std::vector<unsigned int> StoredBlockNumbers() {
    std::vector<unsigned int> numbers;
    for (const json& e : emulator_->control("GET", "/proxy/journal?kind=put_block")) {
      if (e.value("status", json()).is_null() || e["status"].get<int>() != 201) continue;
      const std::string query = e.value("query", "");
      const size_t start = query.find("blockid=");
      if (start == std::string::npos) continue;
      const size_t end = query.find('&', start);
      unsigned int n = 0;
      std::string tag;
      if (zu::blob::BlockNumberOfId(
              zutest::PercentDecode(query.substr(
                  start + 8, end == std::string::npos ? std::string::npos : end - start - 8)),
              n, tag)) {
        numbers.push_back(n);
      }
    }
    return numbers;
  }

  // The resume journals in the state folder.
  // The resume journals in the state folder (a killed upload also leaves
  // its lock file beside its journal).
  std::vector<std::string> journals() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(env_->stateDir(), error)) {
      if (entry.path().extension() == ".journal") found.push_back(entry.path().string());
    }
    return found;
  }

  // The emulator's journal kind of this mode's set-up request.
  static std::string SetUpKind() {
    return GetParam() == Mode::kAzureFunctions ? "af_setup" : "blob_setup";
  }

  static zutest::Emulator* emulator_;
  std::unique_ptr<zutest::ServiceEnv> env_;
  int maxInFlight_ = 1;
  zutest::TempDir files_;
};

zutest::Emulator* BlobEmulator::emulator_ = nullptr;

std::string ModeName(const ::testing::TestParamInfo<Mode>& info) {
  switch (info.param) {
    case Mode::kApi:
      return "Api";
    case Mode::kWorkflow:
      return "Workflow";
    case Mode::kAzureFunctions:
      return "AzureFunctions";
  }
  return "Unknown";
}

TEST_P(BlobEmulator, FilesOfAwkwardSizesArriveIntactAndAreReported) {
  const std::vector<LocalFile> files = {
      addFile("empty.bak", 0), addFile("one.bak", 1), addFile("mib-plus-one.bak", kMiB + 1),
      addFile("two-mib.bak", 2 * kMiB), addFile("five-mib-seven.bak", 5 * kMiB + 7)};
  const auto before = zutest::ThreadsAndFds::Now();
  {
    BlobServiceAccess service;
    std::wstring message;
    const std::string guid = "GUID-Sizes-" + ModeName({GetParam(), 0});
    ASSERT_EQ(init(service, guid, files, message), 1)
        << std::string(message.begin(), message.end());
    for (const LocalFile& f : files) {
      ASSERT_EQ(service.UploadFile(dir(), f.name, "set-1/full", message), 1)
          << f.name << " " << std::string(message.begin(), message.end());
    }
    ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1)
        << std::string(message.begin(), message.end());

    const std::string container = zutest::ContainerOf(service.m_uploadURL);
    for (const LocalFile& f : files) expectBlob(container, "set-1/full/" + f.name, f);

    const json completion = lastCompletion();
    ASSERT_TRUE(completion.is_object());
    EXPECT_TRUE(completion.value("verified", false)) << completion.dump();
    ASSERT_EQ(completion["files"].size(), files.size()) << completion.dump();
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(completion["files"][i]["name"], files[i].name);
      EXPECT_EQ(completion["files"][i]["size"].get<unsigned long long>(), files[i].data.size());
      EXPECT_EQ(completion["files"][i]["url"],
                service.m_uploadURL + "/set-1/full/" + files[i].name);
    }
    if (GetParam() == Mode::kAzureFunctions) {
      // Number signedness on the wire.
      EXPECT_NE(completion.value("raw", "").find("4294967295"), std::string::npos);
    }
    const json stats = emulator_->proxyStats();
    EXPECT_EQ(stats.value("put_block", -1), 0 + 1 + 2 + 2 + 6);
    EXPECT_EQ(stats.value("put_block_list", -1), 5);
    EXPECT_EQ(stats.value("strict_refusals", -1), 0);
    // Without the MD5 and tier settings no request carries their headers.
    for (const json& entry : emulator_->control("GET", "/proxy/journal")) {
      for (const char* header : {"Content-MD5", "x-ms-blob-content-md5", "x-ms-access-tier"}) {
        EXPECT_EQ(HeaderOf(entry, header), "") << header << " " << entry.dump();
      }
    }
    expectNoSecretsInLog(service);
  }
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);
}

TEST_P(BlobEmulator, APutBlockFailingTwiceThenSucceedingGivesAnIdenticalBlob) {
  const std::vector<LocalFile> files = {addFile("retry.bak", 3 * kMiB + 11)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Retry-" + ModeName({GetParam(), 0}), files, message), 1);
  emulator_->fault("put_block", {{"fault", "status"}, {"status", 500}, {"count", 2}});
  ASSERT_EQ(service.UploadFile(dir(), "retry.bak", "f", message), 1);
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/retry.bak", files[0]);
  EXPECT_EQ(emulator_->proxyStats().value("put_block", -1), 4 + 2);
  expectNoSecretsInLog(service);
}

TEST_P(BlobEmulator, ABlockFailingEveryAttemptLeavesTheFileOutAndNothingBehind) {
  env_->setGlobal("DRBackupRetryCount", "2");
  // Descriptors are counted while the service lives: no pooled connections.
  env_->setGlobal("bEnableZUCloudConnectionReuse", "false");
  const std::vector<LocalFile> files = {addFile("doomed.bak", 4 * kMiB + 3),
                                        addFile("fine.bak", kMiB + 9)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Doomed-" + ModeName({GetParam(), 0}), files, message), 1);
  const auto before = zutest::ThreadsAndFds::Now();
  // Both attempts of the first block fail.
  emulator_->fault("put_block", {{"fault", "status"}, {"status", 503}, {"count", 2}});
  EXPECT_EQ(service.UploadFile(dir(), "doomed.bak", "f", message), 0);
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);
  json stats = emulator_->proxyStats();
  EXPECT_EQ(stats.value("put_block_list", -1), 0);
  EXPECT_EQ(stats.value("put_block", -1), 2);  // the pool ended before block 2 was sent
  EXPECT_FALSE(emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/doomed.bak")
                   .value("exists", true));
  EXPECT_NE(env_->logText().find("Terminate Thread is being Called"), std::string::npos);

  ASSERT_EQ(service.UploadFile(dir(), "fine.bak", "f", message), 1);
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(8, 1, message), 1);
  const json completion = lastCompletion();
  ASSERT_EQ(completion["files"].size(), 1u) << completion.dump();
  EXPECT_EQ(completion["files"][0]["name"], "fine.bak");
  if (GetParam() == Mode::kAzureFunctions) {
    EXPECT_NE(env_->logText().find(
                  "-Warn--: File [doomed.bak] queued for upload but could not be uploaded"),
              std::string::npos);
  }
  expectNoSecretsInLog(service);
}

// A token storage refuses (its signature spoilt here) is replaced by a
// fresh one from the set-up, once; the file is stored with it.
TEST_P(BlobEmulator, ARejectedSignatureIsReplacedByAFreshToken) {
  const std::vector<LocalFile> files = {addFile("denied.bak", 10)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Denied-" + ModeName({GetParam(), 0}), files, message), 1);
  // Spoil the signature of every token the set-up handed out.
  auto spoil = [](std::string& token) {
    const std::string::size_type sig = token.find("sig=");
    ASSERT_NE(sig, std::string::npos);
    token = token.substr(0, sig) + "sig=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA%3D" +
            (token.find('&', sig) == std::string::npos ? "" : token.substr(token.find('&', sig)));
  };
  spoil(service.m_sasToken.empty() ? service.m_fileList.at(0)->sasToken : service.m_sasToken);
  if (GetParam() == Mode::kAzureFunctions) spoil(service.m_fileList.at(0)->sasToken);
  const size_t setUps = emulator_->journal(SetUpKind()).size();
  EXPECT_EQ(service.UploadFile(dir(), "denied.bak", "f", message), 1)
      << std::string(message.begin(), message.end());
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/denied.bak", files[0]);
  EXPECT_EQ(emulator_->journal(SetUpKind()).size(), setUps + 1);
  const std::string log = env_->logText();
  EXPECT_EQ(zutest::CountOccurrences(log,
                                     "Warning: Storage refused file [denied.bak] with 403 "
                                     "(AuthorizationFailure); asking "),
            1u)
      << log;
  EXPECT_EQ(emulator_->proxyStats().value("put_block", -1), 2);
  expectNoSecretsInLog(service);
}

TEST_P(BlobEmulator, EveryAwkwardNameIsStoredUnderItselfOrRefusedBeforeAnyRequest) {
  // "f%41.bak" and "fA.bak" once landed on one blob; each must keep its own.
  const std::vector<LocalFile> files = {addFile("fA.bak", 10),
                                        addFile("f%41.bak", kMiB + 3),
                                        addFile("space name.bak", 7),
                                        addFile("c#d.bak", 8),
                                        addFile("q?x.bak", 9),
                                        addFile("a&b+c=d.bak", 11),
                                        addFile("\xC3\xBCml\xC3\xA4ut.bak", 12),
                                        addFile("semi;colon.bak", 13)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Names-" + ModeName({GetParam(), 0}), files, message), 1);
  for (const LocalFile& f : files) {
    ASSERT_EQ(service.UploadFile(dir(), f.name, "set 1/full", message), 1)
        << f.name << " " << std::string(message.begin(), message.end());
  }
  // Refused before a byte is sent: leaving the folder or the container, or
  // a name holding a line break.
  const int putsBefore = emulator_->proxyStats().value("put_block", -1);
  struct Refusal {
    std::string folder;
    std::string name;
  };
  for (const Refusal& r : {Refusal{"../../other", "fA.bak"}, Refusal{"set 1", ".."},
                           Refusal{"a/./b", "fA.bak"}, Refusal{"set 1", "x\r\nHost: evil"}}) {
    message.clear();
    EXPECT_EQ(service.UploadFile(dir(), r.name, r.folder, message), 0) << r.folder << " " << r.name;
    EXPECT_EQ(message.rfind(L"Error: Cannot upload file [", 0), 0u)
        << std::string(message.begin(), message.end());
  }
  EXPECT_EQ(emulator_->proxyStats().value("put_block", -1), putsBefore);

  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1)
      << std::string(message.begin(), message.end());
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  for (const LocalFile& f : files) expectBlob(container, "set 1/full/" + f.name, f);
  // Nothing else was stored: one blob per file, under its own name.
  std::vector<std::string> expected;
  for (const LocalFile& f : files) expected.push_back("set 1/full/" + f.name);
  std::vector<std::string> stored = emulator_->control("GET", "/blobs?container=" + container);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, expected);
  const json completion = lastCompletion();
  EXPECT_TRUE(completion.value("verified", false)) << completion.dump();
  ASSERT_EQ(completion["files"].size(), files.size()) << completion.dump();
  EXPECT_EQ(completion["files"][1]["url"], service.m_uploadURL + "/set%201/full/f%2541.bak");
  EXPECT_EQ(completion["files"][3]["url"], service.m_uploadURL + "/set%201/full/c%23d.bak");
}

TEST_P(BlobEmulator, ParallelBlocksStayWithinTheSettingAndCommitInReadOrder) {
  env_->setGlobal("DRBackupUploadParallelBlocks", "3");
  env_->setGlobal("DRBackupUploadStreamCount", "4");
  maxInFlight_ = 3;
  const std::vector<LocalFile> files = {addFile("parallel.bak", 10 * kMiB + 5)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Parallel-" + ModeName({GetParam(), 0}), files, message), 1);
  // Slow blocks, so that every token is in use at some point.
  emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0.2}, {"count", 0}});
  ASSERT_EQ(service.UploadFile(dir(), "parallel.bak", "f", message), 1)
      << std::string(message.begin(), message.end());
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/parallel.bak", files[0]);
  EXPECT_EQ(emulator_->proxyStats().value("max_in_flight_put_block", -1), 3);
}

// Storage connections accepted by the proxy so far.
int StorageConnections(zutest::Emulator& emulator) {
  return emulator.proxyStats().value("connections", -1);
}

TEST_P(BlobEmulator, SmallFilesShareTheirConnectionsUnlessReuseIsOff) {
  std::vector<LocalFile> files;
  for (int i = 0; i < 8; ++i)
    files.push_back(addFile("small-" + std::to_string(i) + ".bak", 4096 + i));
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Reuse-" + ModeName({GetParam(), 0}), files, message), 1);
  const int before = StorageConnections(*emulator_);
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(service.UploadFile(dir(), files[i].name, "f", message), 1) << files[i].name;
  }
  // Each file takes a Put Block and a Put Block List, each from a gateway
  // of its own: the first gateway's probe and one connection serve all.
  EXPECT_LE(StorageConnections(*emulator_) - before, 2);

  env_->setGlobal("bEnableZUCloudConnectionReuse", "false");
  const int unpooled = StorageConnections(*emulator_);
  for (int i = 6; i < 8; ++i) {
    ASSERT_EQ(service.UploadFile(dir(), files[i].name, "f", message), 1) << files[i].name;
  }
  // Without the pool every gateway probes and then connects again.
  EXPECT_GE(StorageConnections(*emulator_) - unpooled, 2 * 2 * 2);
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  for (const LocalFile& f : files) expectBlob(container, "f/" + f.name, f);
}

TEST_P(BlobEmulator, ConnectionsStorageClosedBetweenFilesAreReplacedWithoutARetry) {
  const std::vector<LocalFile> files = {addFile("idle-1.bak", kMiB + 3), addFile("idle-2.bak", 5)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Idle-" + ModeName({GetParam(), 0}), files, message), 1);
  emulator_->control("POST", "/proxy/idle_timeout", {{"seconds", 0.2}});
  const int before = StorageConnections(*emulator_);
  ASSERT_EQ(service.UploadFile(dir(), "idle-1.bak", "f", message), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // storage closes the pooled one
  ASSERT_EQ(service.UploadFile(dir(), "idle-2.bak", "f", message), 1);
  EXPECT_GT(StorageConnections(*emulator_) - before, 1);
  EXPECT_EQ(emulator_->proxyStats().value("put_block", -1), 3);  // no block sent twice
  EXPECT_EQ(env_->logText().find("Retrying"), std::string::npos);
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  expectBlob(container, "f/idle-1.bak", files[0]);
  expectBlob(container, "f/idle-2.bak", files[1]);
}

// Stored bytes of a blob, whichever way it was written.
void ExpectStoredBytes(zutest::Emulator& emulator, const std::string& container,
                       const std::string& name, const LocalFile& file) {
  SCOPED_TRACE(name);
  const json blob = emulator.blob(container, name);
  ASSERT_TRUE(blob.value("exists", false)) << blob.dump();
  EXPECT_EQ(blob["size"].get<unsigned long long>(), file.data.size());
  EXPECT_EQ(blob["sha256"].get<std::string>(), Sha256Hex(file.data));
}

// The progress reports of one file.
struct FileReports {
  std::string name;
  std::vector<std::pair<unsigned long long, unsigned long long>> seen;
  static void Callback(void* context, const char* file, unsigned long long sent,
                       unsigned long long total) {
    auto* self = static_cast<FileReports*>(context);
    if (self->name == file) self->seen.emplace_back(sent, total);
  }
};

TEST_P(BlobEmulator, FilesUpToTheSingleRequestLimitGoInOnePutBlob) {
  env_->setGlobal("DRBackupUploadSingleRequestMiB", "1");
  const std::vector<LocalFile> files = {addFile("zero.bak", 0), addFile("one.bak", 1),
                                        addFile("limit.bak", kMiB), addFile("over.bak", kMiB + 1)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Single-" + ModeName({GetParam(), 0}), files, message), 1);
  FileReports reports{"limit.bak", {}};
  zuSetUploadProgressCallback(&FileReports::Callback, &reports);
  for (const LocalFile& f : files) {
    EXPECT_EQ(service.UploadFile(dir(), f.name, "s", message), 1)
        << f.name << " " << std::string(message.begin(), message.end());
  }
  zuSetUploadProgressCallback(nullptr, nullptr);
  const std::vector<std::pair<unsigned long long, unsigned long long>> expected = {{0, kMiB},
                                                                                   {kMiB, kMiB}};
  EXPECT_EQ(reports.seen, expected);
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  for (int i = 0; i < 3; ++i)
    ExpectStoredBytes(*emulator_, container, "s/" + files[i].name, files[i]);
  expectBlob(container, "s/over.bak", files[3]);  // the limit + 1 goes as blocks
  const json stats = emulator_->proxyStats();
  EXPECT_EQ(stats.value("put_block", -1), 2);
  EXPECT_EQ(stats.value("put_block_list", -1), 1);
  int putBlobs = 0;
  for (const json& e : emulator_->control("GET", "/proxy/journal?kind=put_blob")) {
    ++putBlobs;
    bool blockBlob = false;
    for (const json& h : e["headers"]) {
      if (h[0].get<std::string>() == "x-ms-blob-type") blockBlob = h[1] == "BlockBlob";
    }
    EXPECT_TRUE(blockBlob) << e.dump();
  }
  EXPECT_EQ(putBlobs, 3);
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  const json completion = lastCompletion();
  ASSERT_EQ(completion["files"].size(), files.size()) << completion.dump();
  EXPECT_EQ(completion["files"][2]["size"].get<unsigned long long>(), kMiB);
  EXPECT_EQ(completion["files"][2]["url"], service.m_uploadURL + "/s/limit.bak");
  expectNoSecretsInLog(service);
}

TEST_P(BlobEmulator, ARefusedPutBlobIsRetriedAndAFailedOneCommitsNothing) {
  env_->setGlobal("DRBackupUploadSingleRequestMiB", "4");
  const std::vector<LocalFile> files = {addFile("again.bak", 3000), addFile("never.bak", 7)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-PutBlob-" + ModeName({GetParam(), 0}), files, message), 1);
  emulator_->fault("put_blob", {{"fault", "status"}, {"status", 503}, {"count", 2}});
  ASSERT_EQ(service.UploadFile(dir(), "again.bak", "s", message), 1);
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  ExpectStoredBytes(*emulator_, container, "s/again.bak", files[0]);
  EXPECT_EQ(zutest::CountOccurrences(env_->logText(), "Retrying after [120000] ms"), 2u);

  // Every attempt (the fixture's 3) refused: the call fails and no blob
  // appears.
  emulator_->fault("put_blob", {{"fault", "status"}, {"status", 503}, {"count", 3}});
  EXPECT_EQ(service.UploadFile(dir(), "never.bak", "s", message), 0);
  EXPECT_NE(message.find(L"refused 3 time(s)"), std::wstring::npos);
  EXPECT_FALSE(emulator_->blob(container, "s/never.bak").value("exists", true));
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(8, 1, message), 1);
  const json completion = lastCompletion();
  ASSERT_EQ(completion["files"].size(), 1u) << completion.dump();
  EXPECT_EQ(completion["files"][0]["name"], "again.bak");
}

TEST_P(BlobEmulator, ABlockFailingWithOthersInFlightStopsEveryFurtherSend) {
  env_->setGlobal("DRBackupUploadParallelBlocks", "3");
  env_->setGlobal("DRBackupRetryCount", "2");
  // Descriptors are counted while the service lives: no pooled connections.
  env_->setGlobal("bEnableZUCloudConnectionReuse", "false");
  maxInFlight_ = 3;
  const std::vector<LocalFile> files = {addFile("doomed.bak", 8 * kMiB)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-ParFail-" + ModeName({GetParam(), 0}), files, message), 1);
  const auto before = zutest::ThreadsAndFds::Now();
  // Blocks 1 and 2 are still being sent while block 3 fails both attempts.
  emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0.5}, {"count", 2}});
  emulator_->fault("put_block", {{"fault", "status"}, {"status", 503}, {"count", 0}});
  EXPECT_EQ(service.UploadFile(dir(), "doomed.bak", "f", message), 0);
  EXPECT_NE(message.find(L"was refused 2 time(s)"), std::wstring::npos)
      << std::string(message.begin(), message.end());
  EXPECT_EQ(zutest::ThreadsAndFds::Now(), before);
  const json stats = emulator_->proxyStats();
  EXPECT_EQ(stats.value("put_block", -1), 4) << stats.dump();
  EXPECT_EQ(stats.value("put_block_list", -1), 0);
  EXPECT_FALSE(emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/doomed.bak")
                   .value("exists", true));
}

// Records the first progress report of an upload.
struct FirstReport {
  bool seen = false;
  unsigned long long bytes = 0;
  static void Callback(void* context, const char*, unsigned long long sent, unsigned long long) {
    auto* self = static_cast<FirstReport*>(context);
    if (!self->seen) self->bytes = sent;
    self->seen = true;
  }
};

TEST_P(BlobEmulator, AnUploadStoppedAtItsSixthBlockResumesThereAndCommitsEveryBlock) {
  // Ten blocks, the last one short.
  const std::vector<LocalFile> files = {addFile("resume.bak", 9 * kMiB + 123)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Resume-" + ModeName({GetParam(), 0}), files, message), 1);
  uploadStoppedAfter(service, "resume.bak", "f", 5);
  EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{1, 2, 3, 4, 5}));
  // The journal: private, no secret, one line per confirmed block.
  const std::vector<std::string> journal = journals();
  ASSERT_EQ(journal.size(), 1u);
  struct stat st {};
  ASSERT_EQ(::stat(journal[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(env_->stateDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const std::string text = zutest::ReadFile(journal[0]);
  EXPECT_EQ(zutest::CountOccurrences(text, "\nblock "), 5u) << text;
  EXPECT_EQ(text.find("sig="), std::string::npos) << text;
  EXPECT_EQ(text.find('?'), std::string::npos) << text;

  emulator_->reset();
  FirstReport first;
  zuSetUploadProgressCallback(&FirstReport::Callback, &first);
  const int uploaded = service.UploadFile(dir(), "resume.bak", "f", message);
  zuSetUploadProgressCallback(nullptr, nullptr);
  ASSERT_EQ(uploaded, 1) << std::string(message.begin(), message.end());
  EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{6, 7, 8, 9, 10}));
  const json stats = emulator_->proxyStats();
  EXPECT_EQ(stats.value("get_block_list", -1), 1);
  EXPECT_EQ(stats.value("put_block", -1), 5);
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/resume.bak", files[0]);
  EXPECT_EQ(first.bytes, 5 * kMiB);
  EXPECT_NE(env_->logText().find("[5] of [10] blocks, [5242880] of [9437307] bytes, found stored"),
            std::string::npos);
  EXPECT_TRUE(journals().empty());  // committed: nothing left to resume
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  EXPECT_TRUE(lastCompletion().value("verified", false));
  expectNoSecretsInLog(service);
}

// Whatever keeps an upload from resuming, the file is sent whole and stored
// intact, with one line in the log saying why; only a refused token asks
// the set-up for a fresh one.
TEST_P(BlobEmulator, AnUploadThatCannotResumeSendsTheWholeFile) {
  BlobServiceAccess service;
  const std::string guid = "GUID-Whole-" + ModeName({GetParam(), 0});
  struct Row {
    std::string name;
    std::function<void()> before;                          // before the first try
    std::function<void(const std::string& file)> between;  // between the tries
    int getBlockLists;  // Get Block List requests of the second try
    std::string logged;
    int refreshes = 0;  // fresh tokens asked for (a 403), each with its line
  };
  const std::vector<Row> rows = {
      {"changed", nullptr,
       [](const std::string& file) { zutest::WriteFile(file, RandomBytes(3 * kMiB + 5, 99u)); }, 0,
       "is not the one of the interrupted upload"},
      {"garbage", nullptr,
       [this](const std::string&) {
         zutest::WriteFile(journals().at(0), "\x01\x02 not a journal at all\n");
       },
       0, "is damaged (it does not start with the journal's header)"},
      {"cut", nullptr,
       [this](const std::string&) {
         const std::string path = journals().at(0);
         const std::string text = zutest::ReadFile(path);
         zutest::WriteFile(path, text.substr(0, text.size() - 3));
       },
       0, "is damaged (its last line is cut short)"},
      // A 403 asks for a fresh token once; refused again, the file goes whole.
      {"forbidden", nullptr,
       [](const std::string&) {
         emulator_->fault("get_block_list", {{"fault", "status"}, {"status", 403}, {"count", 0}});
       },
       2,
       "Cannot learn which blocks of file [whole-forbidden.bak] the storage service holds "
       "(HTTP status 403",
       1},
      // Replies no service sends: past the 8 MiB cap (90,000 entries of
      // 64-character ids), or more than the 100,000 blocks it holds. Neither
      // is parsed nor asked for again.
      {"oversized", nullptr,
       [](const std::string&) {
         emulator_->fault("get_block_list",
                          {{"fault", "block_list"}, {"blocks", 90000}, {"id_length", 64}});
       },
       1,
       "Cannot learn which blocks of file [whole-oversized.bak] the storage service holds "
       "(the reply is larger than 8 MiB"},
      {"crowded", nullptr,
       [](const std::string&) {
         emulator_->fault("get_block_list", {{"fault", "block_list"}, {"blocks", 100001}});
       },
       1,
       "Cannot learn which blocks of file [whole-crowded.bak] the storage service holds "
       "(the reply lists more than 100000 blocks"},
      // The set-up hands out a write-only token (Azurite refuses its Get
      // Block List with 403 AuthorizationPermissionMismatch): no fresh token
      // is asked for, the file goes whole. The token stays: the rows after it
      // read nothing.
      {"write-only", nullptr,
       [&](const std::string&) {
         emulator_->config({{"sas_permissions", "cw"}});
         std::wstring again;
         ASSERT_EQ(init(service, guid, {}, again), 1) << std::string(again.begin(), again.end());
       },
       1,
       "Cannot learn which blocks of file [whole-write-only.bak] the storage service holds (the "
       "SAS token has no read permission (403 AuthorizationPermissionMismatch)); the whole file "
       "is sent."},
      {"off", [this] { env_->setGlobal("bEnableZUCloudDRBackupResume", "False"); }, nullptr, 0, ""},
      {"unusable",
       [this] {
         env_->setGlobal("bEnableZUCloudDRBackupResume", "true");
         std::filesystem::remove_all(env_->stateDir());
         zutest::WriteFile(env_->stateDir(), "a file where the folder should be");
       },
       nullptr, 0,
       "cannot be used (it is not a directory); file [whole-unusable.bak] is uploaded without a "
       "resume journal"},
  };
  std::vector<LocalFile> files;
  for (const Row& row : rows) files.push_back(addFile("whole-" + row.name + ".bak", 3 * kMiB + 5));
  std::wstring message;
  ASSERT_EQ(init(service, guid, files, message), 1);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    const std::string name = files[i].name;
    emulator_->reset();
    if (row.before) row.before();
    uploadStoppedAfter(service, name, "f", 2);
    EXPECT_EQ(journals().size(), row.before ? 0u : 1u);
    emulator_->reset();
    if (row.between) row.between(files_.file(name));
    files[i].data = zutest::ReadFile(files_.file(name));
    const size_t logBefore = env_->logText().size();
    const size_t setUpsBefore = emulator_->journal(SetUpKind()).size();
    ASSERT_EQ(service.UploadFile(dir(), name, "f", message), 1)
        << std::string(message.begin(), message.end());
    EXPECT_EQ(emulator_->journal(SetUpKind()).size() - setUpsBefore,
              static_cast<size_t>(row.refreshes));
    const json stats = emulator_->proxyStats();
    EXPECT_EQ(stats.value("get_block_list", -1), row.getBlockLists);
    EXPECT_EQ(stats.value("put_block", -1), 4);
    expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + name, files[i]);
    const std::string log = env_->logText().substr(logBefore);
    if (!row.logged.empty()) {
      EXPECT_EQ(zutest::CountOccurrences(log, row.logged), 1u) << log;
      EXPECT_EQ(zutest::CountOccurrences(log, "Warning: "), 1u + row.refreshes) << log;
    }
    EXPECT_TRUE(journals().empty());
  }
}

// Tokens of two seconds (Azurite checks their "se") and blocks that take
// 0.6 s each at the proxy: every file outlives the token it starts with.
// The first file goes one block at a time without resume, the second three
// at a time with resume; each asks for fresh tokens (the web console's
// set-up, or the Functions Setup) and carries on with the blocks stored.
TEST_P(BlobEmulator, TokensThatExpireDuringAFileAreRefreshedAndTheFileCarriesOn) {
  env_->setGlobal("DRBackupUploadStreamCount", "4");
  maxInFlight_ = 3;
  const std::vector<LocalFile> files = {addFile("slow-a.bak", 5 * kMiB),
                                        addFile("slow-b.bak", 12 * kMiB + 3)};
  emulator_->config({{"sas_lifetime_seconds", 2}});
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Expiry-" + ModeName({GetParam(), 0}), files, message), 1);
  const size_t setUpsAtInit = emulator_->journal(SetUpKind()).size();
  emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0.6}, {"count", 0}});
  ASSERT_EQ(service.UploadFile(dir(), files[0].name, "f", message), 1)
      << std::string(message.begin(), message.end());
  env_->setGlobal("DRBackupUploadParallelBlocks", "3");
  env_->setGlobal("bEnableZUCloudDRBackupResume", "true");
  ASSERT_EQ(service.UploadFile(dir(), files[1].name, "f", message), 1)
      << std::string(message.begin(), message.end());
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1)
      << std::string(message.begin(), message.end());
  emulator_->config({{"sas_lifetime_seconds", nullptr}});

  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  for (const LocalFile& f : files) expectBlob(container, "f/" + f.name, f);
  ASSERT_EQ(lastCompletion()["files"].size(), 2u);
  // Every block stored once: none sent again after storage took it.
  std::vector<unsigned int> stored = StoredBlockNumbers();
  EXPECT_EQ(stored.size(), 5u + 13u);
  // Storage refused the expired tokens, and each refusal that found the
  // token not refreshed yet asked once: one line per set-up.
  const std::string log = env_->logText();
  const size_t refreshes = emulator_->journal(SetUpKind()).size() - setUpsAtInit;
  EXPECT_GE(refreshes, 2u);
  EXPECT_EQ(zutest::CountOccurrences(log, "for a fresh SAS token (refresh ["), refreshes) << log;
  EXPECT_EQ(zutest::CountOccurrences(log, "Success: A fresh SAS token for file ["), refreshes);
  EXPECT_EQ(zutest::CountOccurrences(log, "refused again"), 0u);
  expectNoSecretsInLog(service);
}

// Storage drops the kept-alive connection as a Put Block arrives, before a
// byte of its reply: the next attempt goes at once, with no retry wait, and
// the file is stored.
TEST_P(BlobEmulator, AResetReusedConnectionIsRetriedAtOnce) {
  const std::vector<LocalFile> files = {addFile("reset.bak", 3 * kMiB + 7)};
  // One slot: the first block opens its connection, the second finds it
  // dropped.
  env_->setGlobal("DRBackupUploadBlobSize", "1");
  env_->setGlobal("DRBackupUploadStreamCount", "1");
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Reset-" + ModeName({GetParam(), 0}), files, message), 1);
  zutest::ScopedSleepRecorder sleeps;
  emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0}, {"count", 1}});
  emulator_->fault("put_block", {{"fault", "reset"}, {"count", 1}});
  ASSERT_EQ(service.UploadFile(dir(), files[0].name, "f", message), 1)
      << std::string(message.begin(), message.end());
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + files[0].name, files[0]);
  EXPECT_TRUE(sleeps.waits().empty()) << env_->logText();
  EXPECT_NE(env_->logText().find("Retrying at once: the connection, reused, closed before a "
                                 "byte of the reply came, retry count [1]"),
            std::string::npos);
}

// Storage refuses a file's Put Blocks with 403 whatever the token: the file
// ends after one refresh (two requests), with the code in its message, and
// the next file is stored.
TEST_P(BlobEmulator, ATokenRefusedAgainAfterARefreshEndsOnlyThatFile) {
  const std::vector<LocalFile> files = {addFile("refused.bak", 3 * kMiB),
                                        addFile("next.bak", 2 * kMiB)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Refused-" + ModeName({GetParam(), 0}), files, message), 1);
  emulator_->fault("put_block", {{"fault", "status"},
                                 {"status", 403},
                                 {"body",
                                  "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>"
                                  "AuthorizationFailure</Code></Error>"},
                                 {"count", 2}});
  EXPECT_EQ(service.UploadFile(dir(), files[0].name, "f", message), 0);
  EXPECT_EQ(std::string(message.begin(), message.end()),
            "Error: Storage refused file [refused.bak]: 403 AuthorizationFailure: the token was "
            "refused again after a refresh.");
  EXPECT_EQ(emulator_->proxyStats().value("put_block", -1), 2);
  ASSERT_EQ(service.UploadFile(dir(), files[1].name, "f", message), 1)
      << std::string(message.begin(), message.end());
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/next.bak", files[1]);
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  expectNoSecretsInLog(service);
}

INSTANTIATE_TEST_SUITE_P(Modes, BlobEmulator,
                         ::testing::Values(Mode::kApi, Mode::kWorkflow, Mode::kAzureFunctions),
                         ModeName);

// The MD5 and access tier settings. The requests they change are the same
// in every mode, so one mode is enough.
class BlobIntegrity : public BlobEmulator {
 protected:
  void SetUp() override {
    BlobEmulator::SetUp();
    env_->setGlobal("bEnableZUCloudDRBackupContentMD5", "true");
  }

  // Every Put Block carried the Base64 MD5 of the body the proxy received.
  static void expectBlocksCarryTheirMd5() {
    const json puts = emulator_->control("GET", "/proxy/journal?kind=put_block");
    ASSERT_FALSE(puts.empty());
    for (const json& entry : puts) {
      EXPECT_EQ(HeaderOf(entry, "Content-MD5"), entry.value("body_md5", "?")) << entry.dump();
    }
  }

  // Inits `service` for `files` under `guid`, then uploads each file on its
  // own (the emulator's journal cleared first), checks that the blob holds
  // the file's bytes and its Content-MD5, and calls `more` with it.
  void uploadEach(BlobServiceAccess& service, const char* guid, const std::vector<LocalFile>& files,
                  const std::function<void(const LocalFile&)>& more) {
    std::wstring message;
    ASSERT_EQ(init(service, guid, files, message), 1);
    for (const LocalFile& f : files) {
      SCOPED_TRACE(f.name);
      emulator_->reset();
      ASSERT_EQ(service.UploadFile(dir(), f.name, "f", message), 1)
          << std::string(message.begin(), message.end());
      const json blob = emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/" + f.name);
      EXPECT_EQ(blob.value("sha256", ""), Sha256Hex(f.data)) << blob.dump();
      EXPECT_EQ(storedMd5(service, "f/" + f.name), Md5Of(f.data));
      more(f);
    }
  }

  // The stored blob's Content-MD5 property, read back from Azurite.
  std::string storedMd5(const BlobServiceAccess& service, const std::string& blobName) {
    const json blob = emulator_->blob(zutest::ContainerOf(service.m_uploadURL), blobName);
    return blob.value("content_md5", json()).is_string() ? blob["content_md5"].get<std::string>()
                                                         : "(none)";
  }
};

TEST_P(BlobIntegrity, EveryBlockAndTheBlobCarryTheirMd5AndTheTierGiven) {
  env_->setGlobal("DRBackupUploadAccessTier", "cOOL");
  const std::vector<LocalFile> files = {addFile("md5.bak", 3 * kMiB + 5),
                                        addFile("md5-empty.bak", 0)};
  BlobServiceAccess service;
  std::wstring message;
  uploadEach(service, "GUID-Md5", files, [&](const LocalFile& f) {
    expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + f.name, f);
    EXPECT_EQ(emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/" + f.name)
                  .value("access_tier", json()),
              "Cool");
    const json commit = emulator_->control("GET", "/proxy/journal?kind=put_block_list");
    ASSERT_EQ(commit.size(), 1u);
    EXPECT_EQ(HeaderOf(commit[0], "x-ms-blob-content-md5"), Md5Of(f.data));
    EXPECT_EQ(HeaderOf(commit[0], "x-ms-access-tier"), "Cool");
    if (!f.data.empty()) expectBlocksCarryTheirMd5();
  });

  // In one Put Blob: the same MD5 (checked on the way and stored) and tier;
  // a byte flipped on the way is refused and the body sent again intact.
  env_->setGlobal("DRBackupUploadSingleRequestMiB", "4");
  const LocalFile small = addFile("md5-single.bak", kMiB + 3);
  emulator_->reset();
  emulator_->fault("put_blob", {{"fault", "flip_byte"}, {"count", 1}});
  ASSERT_EQ(service.UploadFile(dir(), small.name, "f", message), 1)
      << std::string(message.begin(), message.end());
  const json blob = emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/" + small.name);
  EXPECT_EQ(blob.value("sha256", ""), Sha256Hex(small.data));
  EXPECT_EQ(storedMd5(service, "f/" + small.name), Md5Of(small.data));
  EXPECT_EQ(blob.value("access_tier", json()), "Cool");
  const json puts = emulator_->control("GET", "/proxy/journal?kind=put_blob");
  ASSERT_EQ(puts.size(), 2u);
  EXPECT_EQ(puts[0].value("status", 0), 400);
  for (const json& put : puts) {
    EXPECT_EQ(HeaderOf(put, "Content-MD5"), Md5Of(small.data));
    EXPECT_EQ(HeaderOf(put, "x-ms-blob-content-md5"), Md5Of(small.data));
    EXPECT_EQ(HeaderOf(put, "x-ms-access-tier"), "Cool");
  }
}

// A byte flipped on the way makes the service refuse the block; it is sent
// again from the slot, intact. Without the setting the flip is stored.
TEST_P(BlobIntegrity, ABlockChangedOnTheWayIsRefusedAndSentAgain) {
  struct Row {
    std::string name;
    bool md5;
    int flips;  // Put Blocks changed, 0: every one
    int uploaded;
    int putBlocks;
  };
  const std::vector<Row> rows = {
      {"once", true, 1, 1, 4 + 1},
      {"always", true, 0, 0, 3},  // the fixture's three attempts, then nothing
      {"unguarded", false, 1, 1, 4},
  };
  std::vector<LocalFile> files;
  for (const Row& row : rows) files.push_back(addFile("flip-" + row.name + ".bak", 3 * kMiB + 9));
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Flip", files, message), 1);
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    env_->setGlobal("bEnableZUCloudDRBackupContentMD5", row.md5 ? "true" : "false");
    emulator_->reset();
    emulator_->fault("put_block", {{"fault", "flip_byte"}, {"count", row.flips}});
    message.clear();
    EXPECT_EQ(service.UploadFile(dir(), files[i].name, "f", message), row.uploaded);
    const json stats = emulator_->proxyStats();
    EXPECT_EQ(stats.value("put_block", -1), row.putBlocks) << stats.dump();
    EXPECT_EQ(stats.value("put_block_list", -1), row.uploaded);
    const json blob =
        emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/" + files[i].name);
    if (row.name == "once") {
      expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + files[i].name, files[i]);
      const json first = emulator_->control("GET", "/proxy/journal?kind=put_block").at(0);
      EXPECT_EQ(first.value("status", 0), 400) << first.dump();
    } else if (row.name == "always") {
      EXPECT_FALSE(blob.value("exists", true));
      EXPECT_NE(message.find(L"did not match the block's Content-MD5"), std::wstring::npos)
          << std::string(message.begin(), message.end());
    } else {
      ASSERT_TRUE(blob.value("exists", false));
      EXPECT_NE(blob["sha256"].get<std::string>(), Sha256Hex(files[i].data));
    }
  }
}

TEST_P(BlobIntegrity, AResumedUploadEndsWithTheWholeFilesMd5) {
  const std::vector<LocalFile> files = {addFile("md5-resume.bak", 9 * kMiB + 123)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Md5Resume", files, message), 1);
  uploadStoppedAfter(service, files[0].name, "f", 5);
  emulator_->reset();
  ASSERT_EQ(service.UploadFile(dir(), files[0].name, "f", message), 1)
      << std::string(message.begin(), message.end());
  EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{6, 7, 8, 9, 10}));
  expectBlocksCarryTheirMd5();
  expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + files[0].name, files[0]);
  EXPECT_EQ(storedMd5(service, "f/" + files[0].name), Md5Of(files[0].data));
}

TEST_P(BlobIntegrity, AnUnknownTierFailsBeforeAnyRequest) {
  env_->setGlobal("DRBackupUploadAccessTier", "Warm");
  const std::vector<LocalFile> files = {addFile("tier.bak", 10)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-Tier", files, message), 1);
  emulator_->reset();
  EXPECT_EQ(service.UploadFile(dir(), files[0].name, "f", message), 0);
  const std::string text(message.begin(), message.end());
  EXPECT_NE(text.find("\"DRBackupUploadAccessTier\" is [Warm]"), std::string::npos) << text;
  EXPECT_NE(text.find("Hot, Cool, Cold or Archive"), std::string::npos) << text;
  EXPECT_TRUE(emulator_->control("GET", "/proxy/journal").empty());
}

// "bEnableZUCloudDRBackupVerify" against Azurite, with the SAS the set-up
// hands out: one Get Blob Properties per file after its commit, blocks or
// one Put Blob, and the file counts as uploaded once length and Content-MD5
// are the file's. A write-only SAS stores every file; it cannot verify one
// (Azurite: 403 AuthorizationPermissionMismatch, no fresh token asked for):
// the file fails saying so and is left out of the completion report.
TEST_P(BlobIntegrity, VerifyReadsEachStoredBlobBackOnce) {
  env_->setGlobal("DRBackupUploadSingleRequestMiB", "1");
  struct Row {
    const char* name;
    const char* permissions;  // the set-up's "sp"
    bool verify;
    int reads;  // Get Blob Properties, each answered `status`
    int status;
  };
  const Row rows[] = {{"read-write", "racwdl", true, 1, 200},
                      {"write-only", "cw", false, 0, 0},
                      {"write-only-verify", "cw", true, 1, 403}};
  BlobServiceAccess service;
  std::wstring message;
  size_t reported = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    env_->setGlobal("bEnableZUCloudDRBackupVerify", row.verify ? "true" : "false");
    const std::vector<LocalFile> files = {
        addFile("verify-blocks-" + std::string(row.name) + ".bak", 3 * kMiB + 5),
        addFile("verify-single-" + std::string(row.name) + ".bak", 1000)};
    emulator_->reset();
    emulator_->config({{"sas_permissions", row.permissions}});
    ASSERT_EQ(init(service, "GUID-Verify", files, message), 1);
    for (const LocalFile& f : files) {
      SCOPED_TRACE(f.name);
      emulator_->reset();  // the token in hand stays
      const size_t setUps = emulator_->journal(SetUpKind()).size();
      message.clear();
      EXPECT_EQ(service.UploadFile(dir(), f.name, "f", message), row.status == 403 ? 0 : 1)
          << std::string(message.begin(), message.end());
      const json blob = emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "f/" + f.name);
      EXPECT_EQ(blob.value("sha256", ""), Sha256Hex(f.data)) << blob.dump();
      EXPECT_EQ(storedMd5(service, "f/" + f.name), Md5Of(f.data));
      int reads = 0;
      for (const json& entry : emulator_->control("GET", "/proxy/journal?kind=storage_other")) {
        if (entry.value("method", "") != "HEAD") continue;
        ++reads;
        EXPECT_EQ(entry.value("status", 0), row.status) << entry.dump();
        EXPECT_NE(entry.value("path", "").find("/f/" + f.name), std::string::npos);
      }
      EXPECT_EQ(reads, row.reads);
      EXPECT_EQ(emulator_->journal(SetUpKind()).size(), setUps);
      if (row.status == 403) {
        EXPECT_EQ(std::string(message.begin(), message.end()),
                  "Error: Failed to upload file [" + f.name +
                      "] to cloud: its blob was stored but cannot be verified: the SAS token has "
                      "no read permission (403 AuthorizationPermissionMismatch), which "
                      "bEnableZUCloudDRBackupVerify needs. Please check ZUCloudService.log for "
                      "more details.");
      } else {
        ++reported;
      }
    }
  }
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  EXPECT_EQ(lastCompletion()["files"].size(), reported);
}

// A commit storage carried out whose reply went astray: either the
// connection closed before the reply (its outcome unknown) or something in
// between answered 500 and the resend was refused with InvalidBlockList.
// The committed block list, read with the set-up's SAS, shows the commit
// was done, and the file is reported. A write-only SAS cannot read the list
// (Azurite: 403 AuthorizationPermissionMismatch): no fresh token is asked
// for, the commit is sent again as without the look, storage refuses it
// (InvalidBlockList) and the file fails, never counted as stored on a
// guess.
TEST_P(BlobIntegrity, ACommitWhoseReplyWasLostIsFoundCommitted) {
  struct Row {
    std::string name;
    json fault;
    size_t commits;  // Put Block Lists sent
    bool writeOnly = false;
  };
  const std::vector<Row> rows = {
      {"no-reply", {{"fault", "lost_reply"}, {"count", 1}}, 1},
      {"500", {{"fault", "forward_then_status"}, {"status", 500}, {"count", 1}}, 2},
      // Last: the write-only token stays.
      {"no-reply-write-only", {{"fault", "lost_reply"}, {"count", 1}}, 2, true},
      {"500-write-only",
       {{"fault", "forward_then_status"}, {"status", 500}, {"count", 1}},
       2,
       true},
  };
  std::vector<LocalFile> files;
  for (const Row& row : rows) files.push_back(addFile("lost-" + row.name + ".bak", 3 * kMiB + 5));
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-LostReply", files, message), 1);
  size_t stored = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(row.name);
    emulator_->reset();
    if (row.writeOnly) {
      emulator_->config({{"sas_permissions", "cw"}});
      ASSERT_EQ(init(service, "GUID-LostReply", {}, message), 1);
    }
    emulator_->fault("put_block_list", row.fault);
    const size_t logBefore = env_->logText().size();
    const size_t setUpsBefore = emulator_->journal(SetUpKind()).size();
    message.clear();
    ASSERT_EQ(service.UploadFile(dir(), files[i].name, "f", message), row.writeOnly ? 0 : 1)
        << std::string(message.begin(), message.end());
    EXPECT_EQ(emulator_->journal(SetUpKind()).size(), setUpsBefore);
    // Stored all the same: the first commit was carried out.
    expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + files[i].name, files[i]);
    const json commits = emulator_->control("GET", "/proxy/journal?kind=put_block_list");
    ASSERT_EQ(commits.size(), row.commits);
    EXPECT_EQ(commits[0].value("upstream_status", 0), 201) << commits[0].dump();
    if (row.commits == 2) {
      EXPECT_EQ(commits[1].value("status", 0), 400) << commits[1].dump();
    }
    const json lists = emulator_->control("GET", "/proxy/journal?kind=get_block_list");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_NE(lists[0].value("query", "").find("blocklisttype=committed"), std::string::npos);
    EXPECT_EQ(lists[0].value("status", 0), row.writeOnly ? 403 : 200) << lists[0].dump();
    const std::string log = env_->logText().substr(logBefore);
    EXPECT_EQ(zutest::CountOccurrences(log,
                                       "was found committed although the reply to its commit "
                                       "was lost"),
              row.writeOnly ? 0u : 1u);
    EXPECT_EQ(zutest::CountOccurrences(log,
                                       "the SAS token has no read permission (403 "
                                       "AuthorizationPermissionMismatch); the commit is not "
                                       "taken as done."),
              row.writeOnly ? 1u : 0u)
        << log;
    if (row.writeOnly) {
      EXPECT_EQ(std::string(message.begin(), message.end()),
                "Error: Failed to upload file [" + files[i].name +
                    "] to cloud: storage refused its block list because it no longer holds the "
                    "file's blocks uncommitted, and the blob's committed block list could not be "
                    "read (the SAS token has no read permission (403 "
                    "AuthorizationPermissionMismatch)). Please check ZUCloudService.log for more "
                    "details.");
      EXPECT_FALSE(service.m_fileList.back()->uploaded);
    } else {
      ++stored;
    }
  }
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  EXPECT_EQ(lastCompletion()["files"].size(), stored);
}

// The host killed (SIGKILL) after storage committed its block list and
// before the reply came: the proxy carries the commit out and holds the
// connection, the test kills the operator's command then. The next process,
// with the same state folder, reads the blob's committed block list, finds
// its journal's blocks there and sends nothing: the file is reported stored
// and listed once by the completion. One and four blocks in flight, in API
// and Azure Functions modes.
TEST_P(BlobIntegrity, AHostKilledAfterItsCommitIsFoundStoredByTheNextRun) {
#ifndef ZUCLOUD_UPLOAD_TOOL
  GTEST_SKIP() << "zucloud-upload is not built";
#else
  struct Row {
    Mode mode;
    int parallel;
  };
  const Row rows[] = {
      {Mode::kApi, 1}, {Mode::kApi, 4}, {Mode::kAzureFunctions, 1}, {Mode::kAzureFunctions, 4}};
  env_->setGlobal("DRBackupUploadStreamCount", "4");
  maxInFlight_ = 4;
  for (const Row& row : rows) {
    const std::string label = ModeName({row.mode, 0}) + "-" + std::to_string(row.parallel);
    SCOPED_TRACE(label);
    setMode(row.mode);
    env_->setGlobal("DRBackupUploadParallelBlocks", std::to_string(row.parallel));
    const LocalFile file = addFile("killed-" + label + ".bak", 6 * kMiB + 5);
    const std::string guid = "GUID-Killed-" + label;
    emulator_->reset();
    emulator_->fault("put_block_list", {{"fault", "forward_then_hold"}, {"seconds", 60}});
    json commits;
    {
      zutest::ChildProcess host(
          {ZUCLOUD_UPLOAD_TOOL, "--service", "blob", "--config", env_->configPath(), "--user",
           "ann", "--password-env", "ZU_KILLED_PW", "--vestrum-guid", guid, "--job-id", "3",
           "--backup-level", "1", "--remote-folder", "f", files_.file(file.name)},
          {"ZU_KILLED_PW=s3cr3t"});
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (std::chrono::steady_clock::now() < deadline) {
        commits = emulator_->control("GET", "/proxy/journal?kind=put_block_list");
        if (!commits.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ASSERT_EQ(::kill(host.pid(), SIGKILL), 0);
      host.stop();
    }
    ASSERT_EQ(commits.size(), 1u);
    ASSERT_EQ(commits[0].value("upstream_status", 0), 201) << commits[0].dump();
    ASSERT_EQ(journals().size(), 1u);
    const std::string journal = zutest::ReadFile(journals()[0]);
    EXPECT_EQ(journal.substr(journal.size() - 7), "commit\n") << journal;

    emulator_->reset();
    BlobServiceAccess service;
    std::wstring message;
    ASSERT_EQ(init(service, guid, {file}, message), 1)
        << std::string(message.begin(), message.end());
    const size_t logBefore = env_->logText().size();
    ASSERT_EQ(service.UploadFile(dir(), file.name, "f", message), 1)
        << std::string(message.begin(), message.end());
    const json stats = emulator_->proxyStats();
    EXPECT_EQ(stats.value("put_block", -1), 0) << stats.dump();
    EXPECT_EQ(stats.value("put_block_list", -1), 0) << stats.dump();
    EXPECT_EQ(stats.value("get_block_list", -1), 1) << stats.dump();
    expectBlob(zutest::ContainerOf(service.m_uploadURL), "f/" + file.name, file);
    EXPECT_EQ(zutest::CountOccurrences(env_->logText().substr(logBefore),
                                       "was found committed by an earlier run"),
              1u);
    EXPECT_TRUE(journals().empty());
    ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1)
        << std::string(message.begin(), message.end());
    const json listed = lastCompletion()["files"];
    ASSERT_EQ(listed.size(), 1u) << listed.dump();
    EXPECT_EQ(listed[0]["size"].get<unsigned long long>(), file.data.size()) << listed.dump();
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Api, BlobIntegrity, ::testing::Values(Mode::kApi), ModeName);

// Client-side encryption ("DRBackupEncryptionKeyFile") end to end: what
// Azurite stores is restored byte for byte by the Python storage SDK given
// the key-encryption key, as the backup's owner would restore it. The
// requests it changes are the same in every mode, so one mode is enough.
class BlobEncryption : public BlobEmulator {
 protected:
  void SetUp() override {
    BlobEmulator::SetUp();
    keyFile_ = zutest::WriteKeyFile(files_.file("kek.json"), "local:dr-kek");
    env_->setGlobal("DRBackupEncryptionKeyFile", keyFile_);
  }

  // Downloads `blobs` (name in the container, "flip:" first to change one
  // stored byte before) with the SDK into stems of `stemDir`; false when the
  // SDK is missing.
  bool restoreWithSdk(const std::string& container, const std::vector<std::string>& blobs,
                      const zutest::TempDir& stemDir) {
    std::string command = "/usr/bin/python3 " + zutest::SourceDir() +
                          "/tests/support/sdk_decrypt.py --azurite http://127.0.0.1:" +
                          std::to_string(emulator_->azuritePort()) + "/devstoreaccount1 '" +
                          keyFile_ + "'";
    for (size_t i = 0; i < blobs.size(); ++i) {
      const bool flip = blobs[i].rfind("flip:", 0) == 0;
      command += std::string(" '") + (flip ? "flip:" : "") + container + "/" +
                 blobs[i].substr(flip ? 5 : 0) + "=" + stemDir.file(std::to_string(i)) + "'";
    }
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << command;
    if (WEXITSTATUS(status) == 77) return false;
    EXPECT_EQ(WEXITSTATUS(status), 0) << command;
    return true;
  }

  std::string keyFile_;
};

// Files on both sides of a region, several blocks sent side by side, the
// single Put Blob path and MD5 digests: the SDK restores each blob, which
// holds the sealed regions (never the file's bytes) and, with MD5, the MD5
// of what it holds; a blob with one byte changed in storage is refused.
TEST_P(BlobEncryption, TheSdkRestoresEveryEncryptedBlobByteForByte) {
  const unsigned long long k4 = 4 * kMiB;
  struct Row {
    LocalFile file;
    int singleRequestMiB;
    int parallel;
    bool md5;
  };
  const std::vector<Row> rows = {{addFile("e0.bak", 0), 0, 1, false},
                                 {addFile("e1.bak", 1), 0, 1, false},
                                 {addFile("e4m-1.bak", k4 - 1), 0, 1, false},
                                 {addFile("e4m.bak", k4), 0, 1, false},
                                 {addFile("e4m+1.bak", k4 + 1), 0, 1, false},
                                 {addFile("par.bak", 3 * k4 + 7), 0, 3, false},
                                 {addFile("md5.bak", 2 * k4 + 9), 0, 1, true},
                                 {addFile("single.bak", 3000), 1, 1, false},
                                 {addFile("single0.bak", 0), 1, 1, false},
                                 {addFile("single-md5.bak", kMiB), 1, 1, true},
                                 {addFile("flipped.bak", k4 + 100), 0, 1, false}};
  maxInFlight_ = 3;
  BlobServiceAccess service;
  std::wstring message;
  std::vector<LocalFile> files;
  for (const Row& row : rows) files.push_back(row.file);
  ASSERT_EQ(init(service, "GUID-Encrypted", files, message), 1);
  std::vector<std::string> blobs;
  for (const Row& row : rows) {
    env_->setGlobal("DRBackupUploadSingleRequestMiB", std::to_string(row.singleRequestMiB));
    env_->setGlobal("DRBackupUploadParallelBlocks", std::to_string(row.parallel));
    env_->setGlobal("bEnableZUCloudDRBackupContentMD5", row.md5 ? "true" : "false");
    ASSERT_EQ(service.UploadFile(dir(), row.file.name, "e", message), 1)
        << row.file.name << " " << std::string(message.begin(), message.end());
    blobs.push_back((row.file.name == "flipped.bak" ? "flip:e/" : "e/") + row.file.name);
  }
  ASSERT_EQ(service.ExecuteDRCompleteWorkflow(4294967295u, 1, message), 1);
  const json completion = lastCompletion();
  ASSERT_EQ(completion["files"].size(), rows.size()) << completion.dump();
  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  zutest::TempDir stems;
  if (!restoreWithSdk(container, blobs, stems)) {
    GTEST_SKIP() << "the Python storage SDK (python3-azure-storage) is missing";
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& data = rows[i].file.data;
    SCOPED_TRACE(rows[i].file.name);
    const std::string stem = stems.file(std::to_string(i));
    const std::string stored = zutest::ReadFile(stem + ".stored");
    EXPECT_EQ(stored.size(), zu::StoredLength(data.size()));
    EXPECT_EQ(completion["files"][i]["size"].get<unsigned long long>(), stored.size());
    // No clear text in what is stored: a run of 16 bytes or more of the file
    // does not turn up in random ciphertext by chance (a shorter one may).
    EXPECT_TRUE(data.size() < 16 || stored.find(data.substr(0, 64)) == std::string::npos);
    const json blob = emulator_->blob(container, "e/" + rows[i].file.name);
    if (rows[i].md5) {
      EXPECT_EQ(blob.value("content_md5", json()), Md5Of(stored));
    }
    if (rows[i].file.name == "flipped.bak") {
      EXPECT_NE(zutest::ReadFile(stem + ".refused"), "");
      EXPECT_FALSE(std::filesystem::exists(stem + ".restored"));
      continue;
    }
    EXPECT_EQ(zutest::ReadFile(stem + ".refused"), "");
    EXPECT_TRUE(zutest::ReadFile(stem + ".restored") == data);
  }
  // Every commit, and every Put Blob (the empty one too), carried the
  // encryption data; no Put Block did.
  for (const json& entry : emulator_->control("GET", "/proxy/journal")) {
    const std::string kind = entry.value("kind", "");
    if (kind != "put_block_list" && kind != "put_blob" && kind != "put_block") continue;
    EXPECT_EQ(HeaderOf(entry, "x-ms-meta-encryptiondata").empty(), kind == "put_block")
        << entry.dump();
  }
  expectNoSecretsInLog(service);
}

// An upload stopped after two blocks and resumed sends only the rest, under
// the content key its journal kept wrapped: the SDK restores the whole file.
// A journal whose key line was swapped with another file's, cut short or
// re-wrapped, another file's journal made to look like this one's, and a
// journal without its MAC, are not used: the file goes whole under a fresh
// content key, and the SDK restores that too.
TEST_P(BlobEncryption, AResumedEncryptedUploadIsRestoredWhole) {
  using zutest::LineOf;
  using zutest::WithLine;
  struct Row {
    std::string name;
    // The journal as the second try finds it, from the first try's and the
    // first row's.
    std::function<std::string(const std::string& journal, const std::string& other)> tamper;
  };
  const std::vector<Row> rows = {
      {"as-journalled", nullptr},
      {"swapped-key",
       [](const std::string& journal, const std::string& other) {
         return WithLine(journal, "key ", LineOf(other, "key "));
       }},
      {"cut-key",
       [](const std::string& journal, const std::string&) {
         const std::string key = LineOf(journal, "key ");
         return WithLine(journal, "key ", key.substr(0, key.size() - 4));
       }},
      {"rewrapped-key",
       [](const std::string& journal, const std::string& other) {
         // Another content key, wrapped under the same key-encryption key.
         const std::string key = LineOf(journal, "key ");
         const std::string otherKey = LineOf(other, "key ");
         return WithLine(
             journal, "key ",
             key.substr(0, key.rfind(' ') + 1) + otherKey.substr(otherKey.rfind(' ') + 1));
       }},
      {"other-file",
       [](const std::string& journal, const std::string& other) {
         return WithLine(WithLine(other, "url ", LineOf(journal, "url ")), "file ",
                         LineOf(journal, "file "));
       }},
      {"no-mac",
       [](const std::string& journal, const std::string&) {
         std::string text = WithLine(journal, "mac ", "");
         text.erase(text.find("\n\n"), 1);
         return text.replace(text.find("journal 4"), 9, "journal 3");
       }},
  };
  std::vector<LocalFile> files;
  for (const Row& row : rows) files.push_back(addFile(row.name + ".bak", 12 * kMiB + 5));
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-EncResume", files, message), 1);
  std::string firstJournal;
  std::vector<std::string> blobs;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    emulator_->reset();
    uploadStoppedAfter(service, files[i].name, "e", 2);
    EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{1, 2}));
    ASSERT_EQ(journals().size(), 1u);
    const std::string path = journals()[0];
    const std::string journal = zutest::ReadFile(path);
    if (firstJournal.empty()) firstJournal = journal;
    if (rows[i].tamper) zutest::WriteFile(path, rows[i].tamper(journal, firstJournal));
    emulator_->reset();
    const size_t logBefore = env_->logText().size();
    ASSERT_EQ(service.UploadFile(dir(), files[i].name, "e", message), 1)
        << std::string(message.begin(), message.end());
    const std::string log = env_->logText().substr(logBefore);
    const json commits = emulator_->control("GET", "/proxy/journal?kind=put_block_list");
    ASSERT_EQ(commits.size(), 1u);
    const std::string wrapped =
        zutest::WrappedKeyOf(HeaderOf(commits[0], "x-ms-meta-encryptiondata"));
    if (!rows[i].tamper) {
      EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{3, 4}));
      EXPECT_NE(journal.find(" " + wrapped + "\n"), std::string::npos);
      EXPECT_EQ(zutest::CountOccurrences(log, "Warning: "), 0u) << log;
    } else {
      EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{1, 2, 3, 4}));
      // A fresh content key: neither journal's.
      EXPECT_EQ(journal.find(wrapped), std::string::npos);
      EXPECT_EQ(firstJournal.find(wrapped), std::string::npos);
      EXPECT_EQ(zutest::CountOccurrences(log, "Warning: "), 1u) << log;
      EXPECT_EQ(zutest::CountOccurrences(log, "the journal is removed and the whole file is sent"),
                1u)
          << log;
    }
    blobs.push_back("e/" + files[i].name);
  }
  zutest::TempDir stems;
  if (!restoreWithSdk(zutest::ContainerOf(service.m_uploadURL), blobs, stems)) {
    GTEST_SKIP() << "the Python storage SDK (python3-azure-storage) is missing";
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(zutest::ReadFile(stems.file(std::to_string(i)) + ".refused"), "");
    EXPECT_TRUE(zutest::ReadFile(stems.file(std::to_string(i)) + ".restored") == files[i].data);
  }
}

// A key file that cannot be used fails the upload before any request, with
// a message naming the setting and why; storage holds nothing.
TEST_P(BlobEncryption, ABadKeyFileFailsBeforeAnyRequest) {
  const struct {
    const char* what;
    std::function<std::string()> keyFile;
    const char* reason;
  } rows[] = {
      {"missing", [this] { return files_.file("no-such-key.json"); }, "does not exist"},
      {"too open",
       [this] {
         return zutest::WriteKeyFile(files_.file("open.json"), "k", zutest::kTestKeyHex, 0644);
       },
       "(mode 0644)"},
      {"wrong length",
       [this] {
         return zutest::WriteKeyFile(files_.file("short.json"), "k", std::string(62, 'a'));
       },
       "62 hexadecimal digits long, not 64"},
  };
  const std::vector<LocalFile> files = {addFile("kept.bak", 5000)};
  BlobServiceAccess service;
  std::wstring message;
  ASSERT_EQ(init(service, "GUID-BadKey", files, message), 1);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    env_->setGlobal("DRBackupEncryptionKeyFile", row.keyFile());
    emulator_->reset();
    EXPECT_EQ(service.UploadFile(dir(), "kept.bak", "e", message), 0);
    const std::string text(message.begin(), message.end());
    EXPECT_EQ(text.rfind("The key file named by the setting DRBackupEncryptionKeyFile cannot be "
                         "used: ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(row.reason), std::string::npos) << text;
    EXPECT_NE(env_->logText().find("ERROR [UploadFile] Error: " + text), std::string::npos);
    EXPECT_TRUE(emulator_->control("GET", "/proxy/journal").empty());
    EXPECT_FALSE(emulator_->blob(zutest::ContainerOf(service.m_uploadURL), "e/kept.bak")
                     .value("exists", true));
  }
}

INSTANTIATE_TEST_SUITE_P(Api, BlobEncryption, ::testing::Values(Mode::kApi), ModeName);

// Two uploads of one blob: another host (or a cloned server) with a state
// folder of its own, one without resume, one running beside it on the same
// state folder, and the leftovers of an upload without resume. Whatever
// they leave in the service, the blob is always exactly the file whose
// upload reported success, never a mix.
class BlobSharing : public BlobEmulator {};

TEST_P(BlobSharing, AnotherUploadsBlocksAreNeverSkippedNorCommitted) {
  zutest::TempDir otherFiles;
  zutest::TempDir otherState;
  struct Row {
    std::string name;
    bool otherResume;    // the other upload's resume setting
    bool otherOwnState;  // the other upload keeps its journal elsewhere
    bool firstResume;    // the first upload's resume setting on its first try
  };
  const std::vector<Row> rows = {
      {"other-host", true, true, true},
      {"other-no-resume", false, true, true},
      {"same-state", true, false, true},
      {"untagged-leftovers", true, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t logStart = env_->logText().size();
    const std::string name = "shared-" + row.name + ".bak";
    const LocalFile x = addFile(name, 8 * kMiB);
    LocalFile y{name, RandomBytes(8 * kMiB, 4242u)};
    zutest::WriteFile(otherFiles.file(name), y.data);
    BlobServiceAccess first;
    BlobServiceAccess other;
    std::wstring message;
    ASSERT_EQ(init(first, "GUID-Sharing", {x}, message), 1);
    ASSERT_EQ(other.init("ann", "s3cr3t", "focus", "GUID-Sharing", 17, 4294967295u, "set-1", 1,
                         4294967294u, message, ""),
              1);
    const std::string container = zutest::ContainerOf(first.m_uploadURL);
    const char* on = "true";
    const char* off = "false";

    if (row.name == "same-state") {
      // Both at once on one journal, every block slowed so that they overlap.
      emulator_->reset();
      emulator_->fault("put_block", {{"fault", "delay"}, {"seconds", 0.05}, {"count", 0}});
      int otherResult = -1;
      std::wstring otherMessage;
      std::thread beside([&] {
        otherResult = other.UploadFile(otherFiles.path() + "/", name, "f", otherMessage);
      });
      const int firstResult = first.UploadFile(dir(), name, "f", message);
      beside.join();
      const json blob = emulator_->blob(container, "f/" + name);
      ASSERT_TRUE(blob.value("exists", false));
      const std::string stored = blob["sha256"].get<std::string>();
      const bool isX = stored == Sha256Hex(x.data);
      const bool isY = stored == Sha256Hex(y.data);
      EXPECT_TRUE(isX || isY) << "the blob mixes both files";
      EXPECT_EQ(isX ? firstResult : otherResult, 1);
      expectBlob(container, "f/" + name, isX ? x : y);
      continue;
    }

    // The first upload stops after block 3, the other one after block 2.
    emulator_->reset();
    env_->setGlobal("bEnableZUCloudDRBackupResume", row.firstResume ? on : off);
    uploadStoppedAfter(first, name, "f", 3);
    {
      env_->setGlobal("bEnableZUCloudDRBackupResume", row.otherResume ? on : off);
      zutest::ScopedEnv state("ZUCLOUD_STATE_DIR",
                              row.otherOwnState ? otherState.path() : env_->stateDir());
      refuseBlockAfter(2);
      EXPECT_EQ(other.UploadFile(otherFiles.path() + "/", name, "f", message), 0);
    }
    // The first upload again: its own blocks only, resumed where they are
    // still held.
    env_->setGlobal("bEnableZUCloudDRBackupResume", on);
    emulator_->reset();
    ASSERT_EQ(first.UploadFile(dir(), name, "f", message), 1)
        << std::string(message.begin(), message.end());
    expectBlob(container, "f/" + name, x);
    if (row.firstResume) {
      EXPECT_EQ(StoredBlockNumbers(), (std::vector<unsigned int>{4, 5, 6, 7, 8}));
    } else {
      EXPECT_EQ(StoredBlockNumbers().size(), 8u);
    }
    // Ids with and without a tag differ in length, which the service
    // refuses while the other kind is held: the upload that met them
    // changed its ids instead of failing.
    EXPECT_EQ(env_->logText().substr(logStart).find("whose block ids have another length") !=
                  std::string::npos,
              !row.firstResume || !row.otherResume);
  }
}

INSTANTIATE_TEST_SUITE_P(Api, BlobSharing, ::testing::Values(Mode::kApi), ModeName);

}  // namespace
