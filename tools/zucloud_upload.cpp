// zucloud-upload: runs one DR backup upload through the library as a host
// job would and prints a summary. Exit status 0 only when every file was
// stored and, for the blob service, the cloud confirmed the completion.
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
#include "printable.h"
#include "progress_printer.h"
#include "stored_names.h"
#include "upload_options.h"

namespace {

using zutool::LocalFile;
using zutool::Printable;
using zutool::UploadOptions;

struct FileResult {
  const LocalFile* file = nullptr;
  bool ok = false;
  double seconds = 0;
  std::string message;
};

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

std::string LogHint() {
  const char* dir = std::getenv("ZUCLOUD_LOG_DIR");
  return std::string("see ZUCloudService.log in ") + (dir && *dir ? dir : "/var/log/zucloud") +
         " for details";
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "zucloud-upload: error: %s (%s)\n", Printable(message).c_str(),
               Printable(LogHint()).c_str());
  return 2;
}

void PrintSummary(const std::vector<FileResult>& results) {
  std::printf("\n%-32s %12s  %-8s %9s %12s\n", "FILE", "SIZE", "RESULT", "TIME", "RATE");
  for (const auto& r : results) {
    // A failed file has no rate: its bytes did not all arrive.
    std::string rate = "-";
    if (r.ok && r.seconds > 0) {
      rate = zutool::HumanBytes(static_cast<double>(r.file->size) / r.seconds) + "/s";
    }
    std::printf("%-32.32s %12s  %-8s %9s %12s\n", Printable(r.file->name).c_str(),
                zutool::HumanBytes(static_cast<double>(r.file->size)).c_str(),
                r.ok ? "stored" : "FAILED", zutool::HumanDuration(r.seconds).c_str(), rate.c_str());
    if (!r.ok && !r.message.empty()) std::printf("    %s\n", Printable(r.message).c_str());
  }
}

template <typename Upload>
std::vector<FileResult> UploadAll(const UploadOptions& options, zutool::ProgressPrinter& printer,
                                  Upload upload) {
  std::vector<FileResult> results;
  for (const auto& file : options.files) {
    FileResult result;
    result.file = &file;
    printer.begin(file.name, file.size);
    auto start = std::chrono::steady_clock::now();
    std::wstring message;
    result.ok = upload(file, message);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.message = Narrow(message);
    printer.finish(result.ok);
    results.push_back(result);
  }
  return results;
}

size_t StoredCount(const std::vector<FileResult>& results) {
  size_t stored = 0;
  for (const auto& r : results) stored += r.ok ? 1 : 0;
  return stored;
}

bool AllStored(const std::vector<FileResult>& results) {
  return StoredCount(results) == results.size();
}

// The last word of a run: 0 when every file was stored, 1 otherwise.
int ExitForStored(const std::vector<FileResult>& results) {
  if (!AllStored(results)) {
    std::fprintf(stderr, "zucloud-upload: error: not every file was stored (%s)\n",
                 Printable(LogHint()).c_str());
    return 1;
  }
  std::printf("All %zu file(s) stored.\n", results.size());
  return 0;
}

int RunFolder(const UploadOptions& options, zutool::ProgressPrinter& printer) {
  ZUCloudService service;
  std::string folderGUID;
  std::string folderPath;
  std::printf("Setting up the DR backup folder (folder service)...\n");
  if (service.init(options.user, options.password, options.focus, options.vestrumGUID, folderGUID,
                   folderPath, options.loginExtra, false) != 1) {
    return Fail("the folder service could not log in or set up the DR backup folder");
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
  auto results = UploadAll(options, printer, [&](const LocalFile& file, std::wstring& message) {
    std::string fileGUID;
    return service.UploadFile(file.directory, file.name, parentPath, file.modifiedTime, fileGUID,
                              message) == 1;
  });
  PrintSummary(results);
  return ExitForStored(results);
}

int RunBlob(const UploadOptions& options, zutool::ProgressPrinter& printer) {
  ZUCloudAzureService service;
  for (const auto& file : options.files) service.AddFileInfo(file.directory + file.name);
  std::wstring message;
  std::printf("Setting up the DR backup upload (blob service)...\n");
  if (service.init(options.user, options.password, options.focus, options.vestrumGUID,
                   options.vestrumId, options.jobId, options.setId, options.backupLevel,
                   options.fullJobId, message, options.loginExtra) != 1) {
    return Fail("the blob service could not set up the upload: " +
                (message.empty() ? std::string("no detail") : Narrow(message)));
  }
  const std::string folder = zutool::BlobFolder(options);
  std::printf("Uploading %zu file(s) to folder %s\n", options.files.size(),
              Printable(folder).c_str());
  auto results = UploadAll(options, printer, [&](const LocalFile& file, std::wstring& msg) {
    return service.UploadFile(file.directory, file.name, folder, msg) == 1;
  });
  PrintSummary(results);
  if (StoredCount(results) == 0) {
    // Reporting a backup with no file in it would tell the cloud that an
    // empty DR backup is complete.
    std::fprintf(
        stderr, "zucloud-upload: error: no file was stored; the completion was not reported (%s)\n",
        Printable(LogHint()).c_str());
    return 1;
  }
  message.clear();
  const bool completed =
      service.ExecuteDRCompleteWorkflow(options.jobId, options.backupLevel, message) == 1;
  if (!completed) {
    std::fprintf(stderr,
                 "zucloud-upload: error: the cloud did not confirm the completion: %s (%s)\n",
                 Printable(Narrow(message)).c_str(), Printable(LogHint()).c_str());
    return 1;
  }
  std::printf("Completion confirmed by the cloud.\n");
  return ExitForStored(results);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  UploadOptions options;
  std::string error;
  switch (zutool::ParseUploadOptions(argc, argv, options, error)) {
    case zutool::ParseOutcome::kHelp:
      std::fputs(zutool::HelpText().c_str(), stdout);
      return 0;
    case zutool::ParseOutcome::kVersion:
      std::fputs(zutool::VersionText().c_str(), stdout);
      return 0;
    case zutool::ParseOutcome::kError:
      std::fprintf(stderr,
                   "zucloud-upload: error: %s\nTry 'zucloud-upload --help' for more information.\n",
                   Printable(error).c_str());
      return 2;
    case zutool::ParseOutcome::kUpload:
      break;
  }
  for (const auto& warning : options.warnings) {
    std::fprintf(stderr, "zucloud-upload: warning: %s\n", Printable(warning).c_str());
  }
  std::string settingsPath;
  std::string settingsCopy;
  if (!zutool::SettingsForRun(options, settingsPath, settingsCopy, error)) {
    std::fprintf(stderr, "zucloud-upload: error: %s\n", error.c_str());
    return 2;
  }
  setenv("ZUCLOUD_CONFIG", settingsPath.c_str(), 1);

  zutool::ProgressPrinter printer(stdout, isatty(STDOUT_FILENO) == 1);
  if (!options.quiet) zuSetUploadProgressCallback(&zutool::ProgressPrinter::Callback, &printer);
  int status =
      options.service == "folder" ? RunFolder(options, printer) : RunBlob(options, printer);
  zuSetUploadProgressCallback(nullptr, nullptr);
  if (!settingsCopy.empty()) unlink(settingsCopy.c_str());
  return status;
}
