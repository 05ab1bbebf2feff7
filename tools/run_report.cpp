#include "run_report.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "printable.h"
#include "progress_printer.h"
#include "stop_signal.h"

namespace zutool {
namespace {

constexpr size_t kNameColumns = 32;

void PrintRow(const std::string& name, unsigned long long size, const char* result,
              const std::string& time, const std::string& rate) {
  std::printf("%s %12s  %-8s %9s %12s\n", FitWidth(Printable(name), kNameColumns).c_str(),
              HumanBytes(static_cast<double>(size)).c_str(), result, time.c_str(), rate.c_str());
}

}  // namespace

void RunLedger::begin(const LocalFile& file) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_current = &file;
}

void RunLedger::done(const FileResult& result) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_results.push_back(result);
  m_current = nullptr;
}

void RunLedger::setStage(RunStage stage) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stage = stage;
}

std::vector<FileResult> RunLedger::results() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_results;
}

std::string RunLedger::current() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_current != nullptr ? m_current->name : std::string();
}

void RunLedger::stopAtOnce(int signal) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // The main thread is printing the end of the run and exits right after.
  if (m_stage == RunStage::kReporting) return;
  size_t stored = 0;
  for (const auto& r : m_results) stored += r.ok ? 1 : 0;
  std::fflush(stdout);
  if (m_stage == RunStage::kCompleting) {
    std::fprintf(stderr,
                 "zucloud-upload: stopped at once by %s while the completion was reported: "
                 "whether the cloud got it is not known; a re-run sends every file again and "
                 "reports it.\n",
                 SignalName(signal).c_str());
  } else {
    std::printf("\n");
    PrintSummary(m_results, m_options, true, m_current != nullptr ? m_current->name : "");
    std::fflush(stdout);
    PrintStopped(signal, stored, m_options.files.size(), m_blob, false);
  }
  std::fflush(stderr);
  // The library's threads end with the process; the kernel releases its
  // journal locks, and the journals keep what storage confirmed.
  _exit(StopStatus(signal));
}

void PrintSummary(const std::vector<FileResult>& results, const UploadOptions& options,
                  bool stopped, const std::string& current) {
  std::printf("\n%s %12s  %-8s %9s %12s\n", FitWidth("FILE", kNameColumns).c_str(), "SIZE",
              "RESULT", "TIME", "RATE");
  for (const auto& r : results) {
    // A failed file has no rate: its bytes did not all arrive. A resumed
    // one's counts the bytes this run sent.
    std::string rate = "-";
    if (r.ok && r.seconds > 0) {
      const unsigned long long sent = r.file->size > r.resumedAt ? r.file->size - r.resumedAt : 0;
      rate = HumanBytes(static_cast<double>(sent) / r.seconds) + "/s";
    }
    PrintRow(r.file->name, r.file->size, r.ok ? "stored" : "FAILED", HumanDuration(r.seconds),
             rate);
    if (!r.ok && !r.message.empty()) std::printf("    %s\n", Printable(r.message).c_str());
  }
  if (!stopped) return;
  for (size_t i = results.size(); i < options.files.size(); ++i) {
    const LocalFile& file = options.files[i];
    const bool underWay = i == results.size() && file.name == current;
    PrintRow(file.name, file.size, underWay ? "stopped" : "not sent", "-", "-");
  }
}

void PrintStopped(int signal, size_t stored, size_t total, bool blob, bool completionReported) {
  const std::string reported = !blob                ? ""
                               : completionReported ? "; the completion was reported"
                                                    : "; the completion was not reported";
  const std::string rerun =
      stored == total ? "nothing is left to send"
      : blob ? "a re-run of the same command sends every file again, except that a file stopped "
               "part-way resumes from the blocks storage holds, and then reports the completion"
             : "a re-run of the same command sends every file again";
  std::fprintf(stderr, "zucloud-upload: stopped by %s: %zu of %zu file(s) stored%s; %s.\n",
               SignalName(signal).c_str(), stored, total, reported.c_str(), rerun.c_str());
}

std::string SignalName(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(signal);
}

}  // namespace zutool
