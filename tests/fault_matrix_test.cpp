// The fault matrix: every request kind of both services crossed with every
// fault the emulator and its storage proxy can inject, once as a transient
// fault and once as a persistent one. Each row runs a whole DR upload flow
// (folder service: init, folder creation, upload; blob service: init, upload,
// completion) with a retry limit of 2 and records the outcome, the message,
// the requests of the faulted kind and what the cloud holds afterwards.
//
// A row fails the test when an operation reported success for a file the
// cloud does not hold byte for byte (or a completion the cloud never
// accepted), when the cloud holds the file other than byte for byte, when
// it reports a failure the cloud does not justify (a false failure, see
// FalseFailure()), and when a row does not finish within its guard: a hung
// row ends the process after the table so far has been written.
//
// The table goes to stdout and to ${ZUCLOUD_FAULT_MATRIX_OUT:-fault_matrix.txt}.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ZuUploadProgress.h"
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
// Folder service: the 4 MiB session chunk, then a short last chunk.
constexpr long long kFolderFileSize = 4 * kMiB + 1000;
// Blob service with 1 MiB blocks: three blocks, the last one partial.
constexpr long long kBlobFileSize = 2 * kMiB + kMiB / 2;
constexpr int kRetryLimit = 2;
// The gateway gives up on a transfer that moves nothing for this long
// (libcurl measures the speed over a window of a few seconds, so a stalled
// request ends some 5 to 7 s after its last byte).
constexpr long kStallLimitSeconds = 1;
// "stall": the server sends headers and part of the body, holds the
// connection, then closes it. "stall_hold": it holds the connection far
// longer than any row may take, so only the gateway's stall limit can end
// the request; those rows are few because each costs several seconds.
constexpr double kEmulatorStallSeconds = 1.5;
constexpr double kEmulatorStallHoldSeconds = 120;
// Per-row guard: a row with two stalled attempts needs a few seconds.
constexpr auto kRowGuard = std::chrono::seconds(90);
// "extra_reply_late": the stray reply reaches a connection once the client
// has left it idle this long (see AwaitStrays()).
constexpr double kLateStraySeconds = 0.3;
// The longest wait for the strays pending on idle connections.
constexpr auto kStrayGuard = std::chrono::seconds(20);

const std::vector<std::string> kKinds = {
    "login",        "folder_setup",  "create_folder", "upload_session", "upload_chunk",
    "offset_query", "blob_setup",    "put_block",     "put_block_list", "get_block_list",
    "put_blob",     "blob_finalize", "af_setup",      "af_finalize"};

// The last three carry the request out and spoil only its reply: the reply
// is lost (the connection closes before its first byte), or a second reply
// nobody asked for follows it, at once or once the connection is idle.
const std::vector<std::string> kFaults = {
    "status500", "status403", "reset",      "stall",       "empty",
    "garbage",   "truncated", "lost_reply", "extra_reply", "extra_reply_late"};

bool IsReplyFault(const std::string& fault) {
  return fault == "lost_reply" || fault == "extra_reply" || fault == "extra_reply_late";
}

enum class Flow { kFolder, kBlobApi, kBlobAzureFunctions };

Flow FlowOf(const std::string& kind) {
  if (kind == "af_setup" || kind == "af_finalize") return Flow::kBlobAzureFunctions;
  if (kind == "blob_setup" || kind == "put_block" || kind == "put_block_list" ||
      kind == "get_block_list" || kind == "put_blob" || kind == "blob_finalize") {
    return Flow::kBlobApi;
  }
  return Flow::kFolder;
}

bool IsProxyKind(const std::string& kind) {
  return kind == "put_block" || kind == "put_block_list" || kind == "get_block_list" ||
         kind == "put_blob";
}

// The fault as the emulator's control API takes it. A transient fault hits
// one request (a reset on a reused connection may be absorbed by libcurl's
// own single resend: the journal then shows one request more than the
// library made). A persistent fault (count 0) hits every request of the
// kind until the next reset.
json FaultSpec(const std::string& fault, bool persistent) {
  json injected;
  if (fault == "status500") {
    injected = {{"fault", "status"}, {"status", 500}};
  } else if (fault == "status403") {
    injected = {{"fault", "status"}, {"status", 403}};
  } else if (fault == "status302") {
    injected = {{"fault", "status"}, {"status", 302}};
  } else if (fault == "hold_part") {
    injected = {{"fault", "hold_part_then_500"}};
  } else if (fault == "lose_last") {
    injected = {{"fault", "lose_then_500"}};
  } else if (fault == "stall") {
    injected = {{"fault", "stall"}, {"seconds", kEmulatorStallSeconds}};
  } else if (fault == "stall_hold") {
    injected = {{"fault", "stall"}, {"seconds", kEmulatorStallHoldSeconds}};
  } else if (fault == "extra_reply_late") {
    injected = {{"fault", "extra_reply"}, {"delay", kLateStraySeconds}};
  } else {
    injected = {{"fault", fault}};
  }
  injected["count"] = persistent ? 0 : 1;
  return injected;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c > 0 && c < 128) ? static_cast<char>(c) : '?';
  return out;
}

// The text of the last error line of a service log (the folder service's
// init has no message argument; its log says why it failed).
std::string LastLoggedError(const std::string& log) {
  std::string last;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    // "<time> pid=<p> tid=<t> ERROR [<tag>] <text>" (the tag is optional)
    const std::string::size_type level = line.find(" ERROR ");
    if (level == std::string::npos) continue;
    last = line.substr(level + 7);
    if (!last.empty() && last[0] == '[' && last.find("] ") != std::string::npos) {
      last = last.substr(last.find("] ") + 2);
    }
  }
  return last;
}

std::string OneLine(std::string text, size_t width) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  if (text.size() > width) text = text.substr(0, width - 3) + "...";
  return text;
}

struct Row {
  std::string kind;
  std::string fault;
  bool persistent = false;
  bool alone = true;       // no faults but the row's own (and an offset query's failed chunk)
  std::string outcome;     // "ok" or "FAIL@<stage>"
  std::string message;     // the failing stage's message
  int requests = 0;        // requests of the faulted kind in the journal
  int faulted = 0;         // of those, answered by the injected fault
  std::string stored;      // what the cloud holds of the file
  std::string completion;  // blob service: completion result
  bool listed = false;     // blob service: a completion the cloud got names the file
  // put_block_list/lost_reply: Put Block List and Get Block List requests
  // after the first lost commit (-1: not counted).
  int afterLostCommit = -1;
  // "ok", "FALSE SUCCESS: ...", "FALSE FAILURE: ...", "STORED DIFFERENT",
  // "LOST COMMIT: ...", "HANG"
  std::string verdict;
  double seconds = 0;
  bool falseSuccess = false;
  bool falseFailure = false;
};

class MatrixTable {
 public:
  void add(const Row& row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rows.push_back(row);
  }

  std::string render() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::vector<std::string> head = {"#",        "kind",    "fault",   "count",
                                           "outcome",  "reqs",    "faulted", "stored",
                                           "complete", "verdict", "secs",    "message"};
    std::vector<std::vector<std::string>> cells = {head};
    int falseSuccesses = 0;
    int falseFailures = 0;
    int hangs = 0;
    int succeeded = 0;
    for (size_t i = 0; i < m_rows.size(); ++i) {
      const Row& r = m_rows[i];
      char secs[32];
      std::snprintf(secs, sizeof secs, "%.1f", r.seconds);
      cells.push_back({std::to_string(i + 1), r.kind, r.fault, r.persistent ? "all" : "x1",
                       r.outcome, std::to_string(r.requests), std::to_string(r.faulted), r.stored,
                       r.completion, r.verdict, secs, OneLine(r.message, 90)});
      if (r.falseSuccess) ++falseSuccesses;
      if (r.falseFailure) ++falseFailures;
      if (r.verdict == "HANG") ++hangs;
      if (r.outcome == "ok") ++succeeded;
    }
    std::vector<size_t> width(head.size(), 0);
    for (const auto& line : cells) {
      for (size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
    }
    std::ostringstream out;
    out << "Fault matrix: retry limit " << kRetryLimit << " (both services), stall limit "
        << kStallLimitSeconds << " s, count x1 = transient, all = persistent\n";
    for (size_t l = 0; l < cells.size(); ++l) {
      for (size_t c = 0; c < cells[l].size(); ++c) {
        out << cells[l][c];
        if (c + 1 < cells[l].size()) out << std::string(width[c] - cells[l][c].size() + 2, ' ');
      }
      out << "\n";
      if (l == 0) {
        size_t total = 0;
        for (size_t w : width) total += w + 2;
        out << std::string(total, '-') << "\n";
      }
    }
    out << "rows " << m_rows.size() << ", succeeded " << succeeded << ", failed "
        << m_rows.size() - static_cast<size_t>(succeeded) << ", false successes " << falseSuccesses
        << ", hangs " << hangs << ", false failures " << falseFailures << "\n";
    return out.str();
  }

  // Prints the table and appends it to the output file, in one write with
  // O_APPEND so that a table stays whole beside another run's.
  void publish() {
    const std::string text = render();
    std::cout << text << std::flush;
    const char* env = std::getenv("ZUCLOUD_FAULT_MATRIX_OUT");
    const std::string path = env != nullptr && *env != '\0' ? env : "fault_matrix.txt";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    if (!written) std::cerr << "cannot write the fault matrix to " << path << "\n";
  }

 private:
  std::mutex m_mutex;
  std::vector<Row> m_rows;
};

MatrixTable& Table() {
  static MatrixTable table;
  return table;
}

// One emulator with storage for the whole executable; the gateway's stall
// limit is shortened for its lifetime.
// The table is published before the emulator stops.
class MatrixEnvironment : public zutest::StallLimitedEmulatorEnvironment {
 public:
  MatrixEnvironment() : StallLimitedEmulatorEnvironment(kStallLimitSeconds) {}
  void TearDown() override {
    Table().publish();
    StallLimitedEmulatorEnvironment::TearDown();
  }
};

auto* const kEnvironment =
    static_cast<MatrixEnvironment*>(::testing::AddGlobalTestEnvironment(new MatrixEnvironment));

zutest::Emulator& Emu() { return kEnvironment->emulator(); }

// Waits until no stray reply of "extra_reply_late" is pending: each has then
// reached its connection, which the client left idle for the delay.
void AwaitStrays() {
  const Clock::time_point deadline = Clock::now() + kStrayGuard;
  while (Emu().control("GET", "/strays").value("pending", 0) > 0) {
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "stray replies still pending after " << kStrayGuard.count() << " s";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Rows of "extra_reply_late" let every pending stray arrive where the
// library keeps a connection for its next request: between the stages of a
// flow and, through the progress callback (the upload waits for it), after
// each piece of the file the cloud confirmed.
bool SettlesStrays(const Row& row) { return row.fault == "extra_reply_late"; }

void SettleStrays(const Row& row) {
  if (SettlesStrays(row)) AwaitStrays();
}

class ScopedStraySettling {
 public:
  explicit ScopedStraySettling(bool on) : m_on(on) {
    if (m_on) zuSetUploadProgressCallback(&Settle, nullptr);
  }
  ~ScopedStraySettling() {
    if (m_on) zuSetUploadProgressCallback(nullptr, nullptr);
  }
  ScopedStraySettling(const ScopedStraySettling&) = delete;
  ScopedStraySettling& operator=(const ScopedStraySettling&) = delete;

 private:
  static void Settle(void*, const char*, unsigned long long, unsigned long long) { AwaitStrays(); }
  bool m_on;
};

void CountRequests(Row& row) {
  const json entries = IsProxyKind(row.kind)
                           ? Emu().control("GET", "/proxy/journal?kind=" + row.kind)
                           : Emu().journal(row.kind);
  row.requests = static_cast<int>(entries.size());
  row.faulted = 0;
  for (const json& e : entries) {
    if (e.contains("fault") && !e["fault"].is_null()) ++row.faulted;
  }
}

// Folder service: init, create the job folder, upload one file.
void RunFolderFlow(Row& row, int index) {
  zutest::ServiceEnv env;
  env.setGlobal("Cloud URL", Emu().consoleUrl());
  zutest::TempDir files;
  const std::string name = "matrix-" + std::to_string(index) + ".bak";
  const std::string data = RandomBytes(kFolderFileSize, static_cast<unsigned>(index) + 11);
  zutest::WriteFile(files.file(name), data);

  zutest::FolderServiceAccess service;
  service.m_nRetryCount = kRetryLimit;
  std::string folderGUID;
  std::string folderPath;
  std::wstring message;
  std::string fileGUID;
  int uploaded = 0;
  bool uploadTried = false;
  if (service.init("ann", "s3cr3t", "focus", "guid-matrix-" + std::to_string(index), folderGUID,
                   folderPath, "", false) != 1) {
    row.outcome = "FAIL@init";
    row.message = "(log) " + LastLoggedError(env.logText());
  } else {
    SettleStrays(row);
    std::string jobGUID;
    std::string detail;
    if (service.CreateDRFolder("guid-matrix-" + std::to_string(index), "Set 1", "Job 1", jobGUID,
                               detail, message) != 1) {
      row.outcome = "FAIL@mkdir";
      row.message = Narrow(message);
    } else {
      SettleStrays(row);
      uploadTried = true;
      uploaded = service.UploadFile(files.path() + "/", name, folderPath + "\\Set 1\\Job 1",
                                    "2024-06-01T08:00:00Z", fileGUID, message);
      row.outcome = uploaded == 1 ? "ok" : "FAIL@upload";
      row.message = Narrow(message);
      if (uploaded != 1 && row.message.empty()) {
        row.message = "(log) " + LastLoggedError(env.logText());
      }
    }
  }
  row.completion = "-";

  // What the share holds under this name.
  row.stored = uploadTried ? "absent" : "-";
  bool identical = false;
  std::string storedGUID;
  for (const json& f : Emu().files()) {
    if (f.value("name", "") != name) continue;
    identical =
        f.value("size", -1LL) == kFolderFileSize && f.value("sha256", "") == Sha256Hex(data);
    storedGUID = f.value("fileGUID", "");
    row.stored = identical ? "identical" : "DIFFERENT";
  }
  if (uploaded == 1 && !identical) {
    row.falseSuccess = true;
    row.verdict = "FALSE SUCCESS: upload";
  } else if (uploaded == 1 && storedGUID != fileGUID) {
    row.falseSuccess = true;
    row.verdict = "FALSE SUCCESS: guid";
  } else {
    row.verdict = "ok";
  }
}

// What the completions the cloud received of the backup `guid` say: whether
// one it verified is there, whether such a one names another file or the
// file while the cloud does not hold it identical (wrong); row.listed tells
// whether any names the file.
struct CompletionCheck {
  bool verified = false;
  bool wrong = false;
};

CompletionCheck CheckCompletions(Row& row, const std::string& guid, const std::string& name,
                                 bool identical) {
  CompletionCheck check;
  for (const json& c : Emu().completions()) {
    const std::string mode = c.value("mode", "");
    if ((mode != "api" && mode != "af_finalize") || c.value("guid", "") != guid) continue;
    const bool verified = c.value("verified", false);
    check.verified = check.verified || verified;
    for (const json& f : c.value("files", json::array())) {
      const bool isFile = f.value("name", "") == name;
      row.listed = row.listed || isFile;
      if (verified && (!isFile || !identical)) check.wrong = true;
    }
  }
  return check;
}

// Blob service (API or Azure Functions mode): init, upload one file, report
// the completion whatever the upload's outcome, as a host does. For the
// Get Block List kind a first try of the upload stops after block 1, so
// that the upload resumes and asks which blocks storage holds. For the Put
// Blob kind the file goes in one request.
void RunBlobFlow(Row& row, int index, bool azureFunctions) {
  zutest::ServiceEnv env;
  env.setGlobal("Cloud URL", Emu().consoleUrl());
  env.setGlobal("DRBackupUploadBlobSize", "1");
  env.setGlobal("DRBackupUploadStreamCount", "2");
  env.setGlobal("DRBackupRetryCount", std::to_string(kRetryLimit));
  env.setGlobal("ZUCloudDRBackupAzureBaseUrl", Emu().consoleBase() + "/azfunc");
  env.setGlobal("bEnableZUCloudDRBackupAPIMode", azureFunctions ? "false" : "true");
  env.setGlobal("bEnableZUCloudDRBackupAzureFunctionsMode", azureFunctions ? "true" : "false");
  if (row.kind == "put_blob") env.setGlobal("DRBackupUploadSingleRequestMiB", "4");
  zutest::TempDir files;
  const std::string name = "matrix-" + std::to_string(index) + ".bak";
  const std::string data = RandomBytes(kBlobFileSize, static_cast<unsigned>(index) + 7);
  zutest::WriteFile(files.file(name), data);
  const std::string guid = "GUID-Matrix-" + std::to_string(index);

  zutest::BlobServiceAccess service;
  if (azureFunctions) service.AddFileInfo(files.path() + "/" + name);
  std::wstring message;
  if (service.init("ann", "s3cr3t", "focus", guid, 17, 1000u + static_cast<unsigned>(index),
                   "set-1", 1, 1000u, message, "") != 1) {
    row.outcome = "FAIL@init";
    row.message = Narrow(message);
    if (row.message.empty()) row.message = "(log) " + LastLoggedError(env.logText());
    row.stored = "-";
    row.completion = "-";
    row.verdict = "ok";
    return;
  }
  SettleStrays(row);
  if (row.kind == "get_block_list") {
    // The Get Block List fault stays queued: a fresh upload never asks.
    Emu().fault("put_block", {{"fault", "delay"}, {"seconds", 0}, {"count", 1}});
    Emu().fault("put_block", {{"fault", "status"}, {"status", 500}, {"count", kRetryLimit}});
    if (service.UploadFile(files.path() + "/", name, "f", message) != 0) {
      row.outcome = row.verdict = "EXCEPTION";
      row.message = "the first try, meant to stop after block 1, succeeded";
      row.stored = row.completion = "-";
      return;
    }
    message.clear();
    SettleStrays(row);
  }
  const int uploaded = service.UploadFile(files.path() + "/", name, "f", message);
  const std::string uploadMessage = Narrow(message);
  message.clear();
  SettleStrays(row);
  const int completed =
      service.ExecuteDRCompleteWorkflow(1000u + static_cast<unsigned>(index), 1, message);
  row.completion = completed == 1 ? "ok" : "FAIL";
  if (uploaded != 1) {
    row.outcome = "FAIL@upload";
    row.message = uploadMessage;
  } else if (completed != 1) {
    row.outcome = "FAIL@complete";
    row.message = Narrow(message);
  } else {
    row.outcome = "ok";
    row.message = uploadMessage;
  }
  if (row.outcome != "ok" && row.message.empty()) {
    row.message = "(log) " + LastLoggedError(env.logText());
  }

  const std::string container = zutest::ContainerOf(service.m_uploadURL);
  const json blob = Emu().blob(container, "f/" + name);
  const bool identical = blob.value("exists", false) &&
                         blob["size"].get<long long>() == kBlobFileSize &&
                         blob["sha256"].get<std::string>() == Sha256Hex(data);
  row.stored = !blob.value("exists", false) ? "absent" : (identical ? "identical" : "DIFFERENT");

  const CompletionCheck check = CheckCompletions(row, guid, name, identical);
  if (uploaded == 1 && !identical) {
    row.falseSuccess = true;
    row.verdict = "FALSE SUCCESS: upload";
  } else if (completed == 1 && (!check.verified || check.wrong)) {
    row.falseSuccess = true;
    row.verdict = "FALSE SUCCESS: completion";
  } else {
    row.verdict = "ok";
  }
}

// A failure the cloud does not justify. A reply fault leaves its request
// carried out and every reply that arrives the real one: one such fault
// must never cost the upload, stray replies never, and lost replies on
// every request only where nothing can tell the library what the cloud
// holds. A commit shows in the committed block list and a last chunk in the
// offset query, so a failure while the cloud holds that file is false.
std::string FalseFailure(const Row& row) {
  if (!IsReplyFault(row.fault) || !row.alone || row.outcome == "ok") return "";
  if (!row.persistent) return "one spoilt reply";
  if (row.fault != "lost_reply") return "every reply came";
  const bool canFindOut = row.kind == "put_block_list" || row.kind == "upload_chunk";
  return canFindOut && row.stored == "identical" ? "file held" : "";
}

// Put Block List and Get Block List requests after the first Put Block
// List, whose reply was lost (-1: no such request).
int RequestsAfterLostCommit() {
  int after = -1;
  for (const json& e : Emu().control("GET", "/proxy/journal")) {
    const std::string kind = e.value("kind", "");
    if (kind != "put_block_list" && kind != "get_block_list") continue;
    if (after >= 0) {
      ++after;
    } else if (kind == "put_block_list" && e.value("fault", "") == "lost_reply") {
      after = 0;
    }
  }
  return after;
}

// Adds to the flow's verdict what the whole row shows.
void Judge(Row& row) {
  std::vector<std::string> findings;
  if (row.verdict != "ok") findings.push_back(row.verdict);
  const std::string falseFailure = FalseFailure(row);
  row.falseFailure = !falseFailure.empty();
  if (row.falseFailure) findings.push_back("FALSE FAILURE: " + falseFailure);
  if (row.stored == "DIFFERENT" && !row.falseSuccess) findings.push_back("STORED DIFFERENT");
  if (row.kind == "put_block_list" && row.fault == "lost_reply") {
    // A lost commit reply is recognised within two further requests.
    row.afterLostCommit = RequestsAfterLostCommit();
    if (row.afterLostCommit > 2) {
      findings.push_back("LOST COMMIT: " + std::to_string(row.afterLostCommit) + " requests after");
    }
  }
  row.verdict.clear();
  for (const std::string& f : findings) row.verdict += (row.verdict.empty() ? "" : "; ") + f;
  if (row.verdict.empty()) row.verdict = "ok";
}

// Runs one row on a worker thread under the guard. A row that outlives the
// guard cannot be stopped: the table so far is published and the process
// ends with a failure status rather than blocking the run. `before` are
// faults (kind, fault) injected ahead of the row's own.
Row RunRow(const std::string& kind, const std::string& fault, bool persistent,
           const std::vector<std::pair<std::string, json>>& before = {}) {
  static int counter = 0;
  const int index = ++counter;
  Row row;
  row.kind = kind;
  row.fault = fault;
  row.persistent = persistent;
  row.alone = before.empty();

  Emu().reset();
  if (kind == "offset_query") {
    // Offset queries follow a failed chunk: the chunk is dropped and
    // answered 500, so the next attempt asks for the offset first.
    Emu().fault("upload_chunk", {{"fault", "drop_then_500"}, {"count", 1}});
  }
  for (const auto& [beforeKind, beforeFault] : before) Emu().fault(beforeKind, beforeFault);
  Emu().fault(kind, FaultSpec(fault, persistent));

  ScopedStraySettling settling(SettlesStrays(row));
  const Clock::time_point start = Clock::now();
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  std::thread worker([&row, &finished, kind, index] {
    try {
      switch (FlowOf(kind)) {
        case Flow::kFolder:
          RunFolderFlow(row, index);
          break;
        case Flow::kBlobApi:
          RunBlobFlow(row, index, false);
          break;
        case Flow::kBlobAzureFunctions:
          RunBlobFlow(row, index, true);
          break;
      }
    } catch (const std::exception& e) {
      row.outcome = "EXCEPTION";
      row.message = e.what();
      row.verdict = "EXCEPTION";
    }
    finished.set_value();
  });
  if (done.wait_for(kRowGuard) == std::future_status::timeout) {
    Row hung;
    hung.kind = kind;
    hung.fault = fault;
    hung.persistent = persistent;
    hung.outcome = "HANG";
    hung.verdict = "HANG";
    hung.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    Table().add(hung);
    Table().publish();
    std::fprintf(stderr, "fault matrix: row %s/%s/%s did not finish within %lld s\n", kind.c_str(),
                 fault.c_str(), persistent ? "all" : "x1",
                 static_cast<long long>(kRowGuard.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }
  worker.join();
  row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  CountRequests(row);
  Judge(row);
  Table().add(row);
  return row;
}

class FaultMatrix : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultMatrix, EveryRowReportsWhatTheCloudHolds) {
  const std::string& kind = GetParam();
  for (const std::string& fault : kFaults) {
    for (bool persistent : {false, true}) {
      const Row row = RunRow(kind, fault, persistent);
      const std::string where = kind + "/" + fault + (persistent ? "/all" : "/transient");
      EXPECT_FALSE(row.falseSuccess) << where << ": " << row.verdict << " (stored " << row.stored
                                     << ", completion " << row.completion << ")";
      EXPECT_NE(row.stored, "DIFFERENT") << where << ": " << row.outcome;
      EXPECT_FALSE(row.falseFailure) << where << ": " << row.verdict << ", " << row.outcome
                                     << " (stored " << row.stored << "): " << row.message;
      EXPECT_LE(row.afterLostCommit, 2) << where << ": the lost commit was not recognised";
      EXPECT_NE(row.outcome, "EXCEPTION") << where << ": " << row.message;
      // The fault was really felt: at least one request of the kind met it.
      EXPECT_GE(row.faulted, 1) << where << ": the injected fault was never applied";
      if (kind == "get_block_list") {
        // Resume is an optimisation: when storage cannot say what it holds
        // the whole file goes again.
        EXPECT_EQ(row.outcome, "ok") << where << ": " << row.message;
        EXPECT_EQ(row.stored, "identical") << where;
      } else if (persistent && !IsReplyFault(fault)) {
        // A persistent fault that denies the answer to a request every flow
        // needs cannot end well.
        EXPECT_NE(row.outcome, "ok") << where << ": succeeded although every request failed";
      }
    }
  }
}

// A server that holds a request open without ever finishing it: only the
// gateway's stall limit ends the request, for a web-console request and for
// a storage request, and the retry then completes the upload.
TEST(FaultMatrixStall, ARequestHeldOpenIsEndedByTheGatewayAndRetried) {
  for (const std::string kind : {"login", "put_block"}) {
    const Row row = RunRow(kind, "stall_hold", false);
    EXPECT_FALSE(row.falseSuccess) << kind << ": " << row.verdict;
    EXPECT_EQ(row.faulted, 1) << kind;
    EXPECT_EQ(row.outcome, "ok") << kind << ": " << row.message;
    EXPECT_EQ(row.stored, "identical") << kind;
  }
}

// A redirect is not an answer: a 3xx is a failed attempt, retried like any
// other, never a reply to read.
TEST(FaultMatrixRedirect, A3xxIsAFailedAttempt) {
  for (const std::string kind : {"folder_setup", "blob_setup", "put_block"}) {
    SCOPED_TRACE(kind);
    const Row transient = RunRow(kind, "status302", false);
    EXPECT_EQ(transient.faulted, 1);
    EXPECT_EQ(transient.outcome, "ok") << transient.message;
    EXPECT_EQ(transient.stored, "identical");

    const Row persistent = RunRow(kind, "status302", true);
    EXPECT_NE(persistent.outcome, "ok");
    EXPECT_FALSE(persistent.falseSuccess) << persistent.verdict;
  }
}

// A server holding part of a chunk (an offset inside it), or one that lost
// the chunk it had confirmed before (an offset of 0 here): the upload starts
// again with a new session, whose last chunk is the second chunk request.
TEST(FaultMatrixHeldOffset, APartHeldOrLostChunkStartsTheFileAgain) {
  for (const std::string fault : {"hold_part", "lose_last"}) {
    SCOPED_TRACE(fault);
    const Row transient = RunRow("upload_chunk", fault, false);
    EXPECT_EQ(transient.faulted, 1);
    EXPECT_EQ(transient.requests, 2);  // the faulted chunk and the new session's
    EXPECT_EQ(transient.outcome, "ok") << transient.message;
    EXPECT_EQ(transient.stored, "identical");

    const Row persistent = RunRow("upload_chunk", fault, true);
    EXPECT_NE(persistent.outcome, "ok");
    EXPECT_FALSE(persistent.falseSuccess) << persistent.verdict;
  }
}

// Regression: a Put Block List answered 2xx other than 201 Created (an empty
// or foreign 200 reply that storage never sends for a commit) was taken as a
// committed blob, so UploadFile reported a file the store did not hold.
TEST(FaultMatrixRegression, PutBlockListWithoutCreatedIsNotACommit) {
  for (const std::string fault : {"empty", "garbage"}) {
    SCOPED_TRACE(fault);
    Row transient = RunRow("put_block_list", fault, false);
    EXPECT_EQ(transient.outcome, "ok") << transient.message;
    EXPECT_EQ(transient.stored, "identical");
    EXPECT_EQ(transient.requests, 2);  // the answer without 201 counted as a failed attempt

    Row persistent = RunRow("put_block_list", fault, true);
    EXPECT_EQ(persistent.outcome, "FAIL@upload");
    EXPECT_EQ(persistent.message, "Error: Failed to upload chunk to cloud.");
    EXPECT_EQ(persistent.requests, kRetryLimit);
    EXPECT_EQ(persistent.stored, "absent");
    EXPECT_FALSE(persistent.falseSuccess);
  }
}

TEST(FaultMatrixRegression, PutBlockWithoutCreatedIsRetried) {
  // A 200 that never reached storage used to count as a stored block; the
  // commit was then refused and one glitch lost the whole upload.
  for (const std::string fault : {"empty", "garbage"}) {
    SCOPED_TRACE(fault);
    Row transient = RunRow("put_block", fault, false);
    EXPECT_EQ(transient.outcome, "ok") << transient.message;
    EXPECT_EQ(transient.stored, "identical");

    Row persistent = RunRow("put_block", fault, true);
    EXPECT_EQ(persistent.outcome, "FAIL@upload");
    EXPECT_NE(persistent.message.find("instead of 201 Created"), std::string::npos)
        << persistent.message;
    EXPECT_FALSE(persistent.falseSuccess);
  }
}

// Regression: a stray "201 Created" that had reached a pooled storage
// connection (after a block, while the host's progress callback held the
// upload) was read as the answer to the Put Block List that went out next on
// that connection, so a commit storage refused passed for done. Every block
// leaves a stray, so whichever connection the commit takes holds one.
TEST(FaultMatrixRegression, AStrayCreatedOnAPooledConnectionIsNoCommit) {
  const json refused = {{"fault", "status"}, {"status", 400}, {"count", 0}};
  const Row row = RunRow("put_block", "extra_reply_late", true, {{"put_block_list", refused}});
  EXPECT_EQ(row.outcome, "FAIL@upload") << row.message;
  EXPECT_EQ(row.stored, "absent");
  EXPECT_FALSE(row.listed) << "the completion names the file";
  EXPECT_FALSE(row.falseSuccess) << row.verdict;
  // Each stray was there before the next request went out.
  const json blocks = Emu().control("GET", "/proxy/journal?kind=put_block");
  ASSERT_EQ(blocks.size(), 3u);
  for (const json& block : blocks) EXPECT_EQ(block.value("stray", ""), "sent");
}

// Regression: likewise a stray reply claiming the whole file held, left on
// the pooled upload connection after the session's first chunk, was read as
// the answer to the last chunk, which the server refused.
TEST(FaultMatrixFolderRegression, AStrayReplyIsNotTheNextRequestsReply) {
  const json refused = {{"fault", "status"}, {"status", 500}, {"count", 0}};
  const Row row = RunRow("upload_session", "extra_reply_late", false, {{"upload_chunk", refused}});
  EXPECT_EQ(row.outcome, "FAIL@upload") << row.message;
  EXPECT_EQ(row.stored, "absent");
  EXPECT_FALSE(row.falseSuccess) << row.verdict;
  const json sessions = Emu().journal("upload_session");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].value("stray", ""), "sent");
  EXPECT_GE(Emu().journal("upload_chunk").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultMatrix, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name;
                           for (char c : info.param) {
                             if (c != '_') name += c;
                           }
                           return name;
                         });

}  // namespace
