// zucloud-upload: runs one DR backup upload through the library as a host
// job would and prints a summary. Exit status 0 only when every file was
// stored and, for the blob service, the cloud confirmed the completion.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZUCloudAzureService.h"
#include "ZUCloudService.h"
#include "ZuUploadProgress.h"
#include "help_text.h"
#include "printable.h"
#include "progress_printer.h"
#include "run_report.h"
#include "run_settings.h"
#include "run_warnings.h"
#include "stop_signal.h"
#include "stored_names.h"
#include "upload_options.h"

namespace {

using zutool::FileResult;
using zutool::LocalFile;
using zutool::Printable;
using zutool::RunLedger;
using zutool::UploadOptions;

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    char buf[8];
    unsigned c = static_cast<unsigned>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      buf[0] = static_cast<char>(0xC0 | (c >> 6));
      buf[1] = static_cast<char>(0x80 | (c & 0x3F));
      out.append(buf, 2);
    } else if (c < 0x10000) {
      buf[0] = static_cast<char>(0xE0 | (c >> 12));
      buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      buf[2] = static_cast<char>(0x80 | (c & 0x3F));
      out.append(buf, 3);
    } else {
      buf[0] = static_cast<char>(0xF0 | (c >> 18));
      buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      buf[3] = static_cast<char>(0x80 | (c & 0x3F));
      out.append(buf, 4);
    }
  }
  return out;
}

// Where the details are: the library's log, or word that it could not
// write one (it said why on stderr when it tried).
std::string LogHint() {
  const char* dir = std::getenv("ZUCLOUD_LOG_DIR");
  const std::string path =
      std::string(dir && *dir ? dir : "/var/log/zucloud") + "/ZUCloudService.log";
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), W_OK) != 0) {
    return "no log was written: " + path + " cannot be written";
  }
  return "see " + path + " for details";
}

// The web console the service logs in to and where its URL came from,
// before the login (nothing when it logs in to none).
void PrintConsoleUrl(const std::string& description) {
  if (!description.empty()) std::printf("Web console: %s\n", Printable(description).c_str());
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zucloud-upload: error: %s (%s)\n", Printable(message).c_str(),
               Printable(LogHint()).c_str());
  return 2;
}

// Uploads the files one after the other until all are done or a stop
// signal came; the ledger follows.
template <typename Upload>
std::vector<FileResult> UploadAll(const UploadOptions& options, zutool::ProgressPrinter& printer,
                                  RunLedger& ledger, Upload upload) {
  for (const auto& file : options.files) {
    if (zutool::StopRequested() != 0) break;
    FileResult result;
    result.file = &file;
    ledger.begin(file);
    printer.begin(file.name, file.size);
    auto start = std::chrono::steady_clock::now();
    std::wstring message;
    result.ok = upload(file, message);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.message = Narrow(message);
    printer.finish(result.ok);
    result.resumedAt = printer.resumedAt();
    ledger.done(result);
  }
  ledger.setStage(zutool::RunStage::kReporting);
  return ledger.results();
}

size_t StoredCount(const std::vector<FileResult>& results) {
  size_t stored = 0;
  for (const auto& r : results) stored += r.ok ? 1 : 0;
  return stored;
}

bool AllStored(const std::vector<FileResult>& results) {
  return StoredCount(results) == results.size();
}

// The last word of a run: 0 when every file was stored, 1 otherwise; the
// status of the signal that stopped it.
int ExitForStored(const std::vector<FileResult>& results, const UploadOptions& options, bool blob,
                  bool completionReported) {
  if (const int signal = zutool::StopRequested()) {
    zutool::PrintStopped(signal, StoredCount(results), options.files.size(), blob,
                         completionReported);
    return zutool::StopStatus(signal);
  }
  if (!AllStored(results)) {
    std::fprintf(stderr, "zucloud-upload: error: not every file was stored (%s)\n",
                 Printable(LogHint()).c_str());
    return 1;
  }
  std::printf("All %zu file(s) stored.\n", results.size());
  return 0;
}

int RunFolder(const UploadOptions& options, zutool::ProgressPrinter& printer, RunLedger& ledger) {
  ZUCloudService service;
  std::string folderGUID;
  std::string folderPath;
  std::printf("Setting up the DR backup folder (folder service)...\n");
  PrintConsoleUrl(service.describeConsoleURL());
  if (service.init(options.user, options.password, options.focus, options.vestrumGUID, folderGUID,
                   folderPath, options.loginExtra, false) != 1) {
    const std::wstring reason = service.initErrorMessage();
    return Fail("the folder service could not log in or set up the DR backup folder: " +
                (reason.empty() ? std::string("no detail") : Narrow(reason)));
  }
  std::string parentPath = folderPath;
  if (!options.remoteFolder.empty()) {
    std::string guid;
    std::string detail;
    std::wstring message;
    if (service.CreateDRFolder(options.vestrumGUID, "", options.remoteFolder, guid, detail,
                               message) != 1) {
      return Fail("cannot create the folder " + options.remoteFolder + ": " + Narrow(message));
    }
    parentPath = folderPath + "\\" + options.remoteFolder;
  }
  std::printf("Uploading %zu file(s) to %s\n", options.files.size(), Printable(parentPath).c_str());
  auto results =
      UploadAll(options, printer, ledger, [&](const LocalFile& file, std::wstring& message) {
        std::string fileGUID;
        return service.UploadFile(file.directory, file.name, parentPath, file.modifiedTime,
                                  fileGUID, message) == 1;
      });
  PrintSummary(results, options, zutool::StopRequested() != 0, ledger.current());
  return ExitForStored(results, options, false, false);
}

// Whether the cloud is told the backup is complete: only when every file was
// stored, or, with --allow-partial, at least one was and the run was not
// stopped before it tried them all. Says why not.
bool MayReportCompletion(const std::vector<FileResult>& results, const UploadOptions& options) {
  const size_t stored = StoredCount(results);
  if (stored == options.files.size()) return true;
  if (stored == 0) {
    // Reporting a backup with no file in it would tell the cloud that an
    // empty DR backup is complete.
    std::fprintf(stderr,
                 "zucloud-upload: error: no file was stored; the completion was not reported, "
                 "the cloud was told nothing of this backup (%s)\n",
                 Printable(LogHint()).c_str());
    return false;
  }
  if (zutool::StopRequested() != 0) return false;
  if (options.allowPartial) return true;
  std::fprintf(stderr,
               "zucloud-upload: error: %zu of %zu file(s) not stored; the completion was not "
               "reported, the cloud was told nothing of this backup: re-run to store every file, "
               "or add --allow-partial to report the %zu stored file(s) as the backup (%s)\n",
               options.files.size() - stored, options.files.size(), stored,
               Printable(LogHint()).c_str());
  return false;
}

// What the confirmed completion told the cloud.
void PrintCompletionContent(const std::vector<FileResult>& results) {
  const size_t stored = StoredCount(results);
  if (stored == results.size()) {
    std::printf("The cloud was told the backup is complete with all %zu file(s).\n", stored);
    return;
  }
  std::string missing;
  for (const auto& r : results) {
    if (!r.ok) missing += (missing.empty() ? "" : ", ") + Printable(r.file->name);
  }
  std::printf(
      "The cloud was told the backup is complete with %zu of the %zu file(s) (--allow-partial); "
      "not in it: %s.\n",
      stored, results.size(), missing.c_str());
}

int RunBlob(const UploadOptions& options, zutool::ProgressPrinter& printer, RunLedger& ledger) {
  ZUCloudAzureService service;
  for (const auto& file : options.files) service.AddFileInfo(file.directory + file.name);
  std::wstring message;
  std::printf("Setting up the DR backup upload (blob service)...\n");
  PrintConsoleUrl(service.describeConsoleURL());
  if (service.init(options.user, options.password, options.focus, options.vestrumGUID,
                   options.vestrumId, options.jobId, options.setId, options.backupLevel,
                   options.fullJobId, message, options.loginExtra) != 1) {
    return Fail("the blob service could not set up the upload: " +
                (message.empty() ? std::string("no detail") : Narrow(message)));
  }
  const std::string folder = zutool::BlobFolder(options);
  std::printf("Uploading %zu file(s) to folder %s\n", options.files.size(),
              Printable(folder).c_str());
  auto results = UploadAll(options, printer, ledger, [&](const LocalFile& file, std::wstring& msg) {
    return service.UploadFile(file.directory, file.name, folder, msg) == 1;
  });
  PrintSummary(results, options, zutool::StopRequested() != 0, ledger.current());
  if (!MayReportCompletion(results, options)) return ExitForStored(results, options, true, false);
  message.clear();
  ledger.setStage(zutool::RunStage::kCompleting);
  const bool completed =
      service.ExecuteDRCompleteWorkflow(options.jobId, options.backupLevel, message) == 1;
  ledger.setStage(zutool::RunStage::kReporting);
  if (!completed) {
    std::fprintf(stderr,
                 "zucloud-upload: error: the cloud did not confirm the completion: %s (%s)\n",
                 Printable(Narrow(message)).c_str(), Printable(LogHint()).c_str());
    return zutool::StopRequested() != 0 ? ExitForStored(results, options, true, false) : 1;
  }
  std::printf("Completion confirmed by the cloud.\n");
  PrintCompletionContent(results);
  return ExitForStored(results, options, true, true);
}

void PrintWarnings(const UploadOptions& options) {
  for (const auto& warning : options.warnings) {
    std::fprintf(stderr, "zucloud-upload: warning: %s\n", Printable(warning).c_str());
  }
}

// Before anything is sent: a password about to cross the network in clear,
// and blob uploads that could not resume after an interruption.
void WarnAboutSettings(const UploadOptions& options) {
  std::string text;
  if (!zutool::ReadSettingsText(options.configFile, text)) return;
  const std::string http = zutool::PlainHttpWarning(text, options.configFile, options.user);
  if (!http.empty()) std::fprintf(stderr, "zucloud-upload: WARNING: %s\n", Printable(http).c_str());
  if (options.service != "blob") return;
  const std::string resume = zutool::ResumeOffWarning(text, options.configFile);
  if (!resume.empty()) {
    std::fprintf(stderr, "zucloud-upload: warning: %s\n", Printable(resume).c_str());
  }
}

// SIGINT and SIGTERM: the first stops the run after the file under way,
// the second at once (stop_signal.h).
void CatchStopSignals(zutool::ProgressPrinter& printer, RunLedger& ledger) {
  zutool::CatchStopSignals(
      [&printer, &ledger](int signal) {
        const std::string current = ledger.current();
        printer.note(stderr,
                     "zucloud-upload: " + zutool::SignalName(signal) +
                         " received: no further file is started" +
                         (current.empty() ? std::string()
                                          : "; " + Printable(current) + " is finished first") +
                         " (send it again to stop at once)");
      },
      [&ledger](int signal) { ledger.stopAtOnce(signal); });
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  static UploadOptions options;  // the ledger refers to it until the process ends
  std::string error;
  switch (zutool::ParseUploadOptions(argc, argv, options, error)) {
    case zutool::ParseOutcome::kHelp:
      std::fputs(zutool::HelpText().c_str(), stdout);
      return 0;
    case zutool::ParseOutcome::kVersion:
      std::fputs(zutool::VersionText().c_str(), stdout);
      return 0;
    case zutool::ParseOutcome::kError:
      std::fprintf(stderr, "zucloud-upload: error: %s\n", Printable(error).c_str());
      // What was skipped may be why nothing was found.
      PrintWarnings(options);
      std::fprintf(stderr, "Try 'zucloud-upload --help' for more information.\n");
      return 2;
    case zutool::ParseOutcome::kUpload:
      break;
  }
  PrintWarnings(options);
  std::string settingsPath;
  int settingsCopy = -1;  // the unnamed copy, open while the library runs
  if (!zutool::SettingsForRun(options, settingsPath, settingsCopy, error)) {
    std::fprintf(stderr, "zucloud-upload: error: %s\n", error.c_str());
    return 2;
  }
  setenv("ZUCLOUD_CONFIG", settingsPath.c_str(), 1);
  WarnAboutSettings(options);

  // --quiet prints no line per file; the reports still tell a resumed
  // file's rate.
  // Both live until the process ends: a signal may come after main returns.
  auto& printer = *new zutool::ProgressPrinter(stdout, isatty(STDOUT_FILENO) == 1, options.quiet);
  auto& ledger = *new RunLedger(options, options.service == "blob");
  CatchStopSignals(printer, ledger);
  zuSetUploadProgressCallback(&zutool::ProgressPrinter::Callback, &printer);
  int status = options.service == "folder" ? RunFolder(options, printer, ledger)
                                           : RunBlob(options, printer, ledger);
  zuSetUploadProgressCallback(nullptr, nullptr);
  if (settingsCopy >= 0) close(settingsCopy);
  return status;
}
