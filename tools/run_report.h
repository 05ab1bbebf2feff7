// The end of a run of zucloud-upload as the operator reads it: the summary
// table, and, for a run stopped by a signal, what was stored and what a
// re-run does. The run's record is shared with the thread that receives a
// second signal, which prints it and ends the process at once.
#ifndef ZUCLOUD_TOOLS_RUN_REPORT_H
#define ZUCLOUD_TOOLS_RUN_REPORT_H

#include <mutex>
#include <string>
#include <vector>

#include "upload_options.h"

namespace zutool {

struct FileResult {
  const LocalFile* file = nullptr;
  bool ok = false;
  double seconds = 0;
  // Bytes an earlier run had stored (a resumed blob upload): not sent by
  // this run, so no part of its rate.
  unsigned long long resumedAt = 0;
  std::string message;
};

// Where the run is, for what a second stop signal prints.
enum class RunStage {
  kUploading,   // files are sent (or the service set up)
  kReporting,   // the main thread prints the end of the run
  kCompleting,  // the completion is being reported to the cloud
};

// The run as far as it went.
class RunLedger {
 public:
  RunLedger(const UploadOptions& options, bool blob) : m_options(options), m_blob(blob) {}
  void begin(const LocalFile& file);
  void done(const FileResult& result);
  void setStage(RunStage stage);
  std::vector<FileResult> results();
  std::string current();  // the name of the file under way, "" none

  // The second signal: unless the main thread is printing the end of the
  // run itself, prints what was stored and exits with StopStatus(signal).
  void stopAtOnce(int signal);

 private:
  std::mutex m_mutex;
  const UploadOptions& m_options;
  const bool m_blob;
  std::vector<FileResult> m_results;
  const LocalFile* m_current = nullptr;
  RunStage m_stage = RunStage::kUploading;
};

// The summary table: one row per file done, then, in a stopped run, one
// per file under way ("stopped") or never started ("not sent").
void PrintSummary(const std::vector<FileResult>& results, const UploadOptions& options,
                  bool stopped, const std::string& current = std::string());

// The line (stderr) of a run that `signal` stopped: how many files were
// stored, whether the completion was reported, and what a re-run does.
void PrintStopped(int signal, size_t stored, size_t total, bool blob, bool completionReported);

// "SIGINT", "SIGTERM" or "signal N".
std::string SignalName(int signal);

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_RUN_REPORT_H
