// Progress lines of zucloud-upload: redrawn in place on a terminal, plain
// periodic lines otherwise.
#ifndef ZUCLOUD_TOOLS_PROGRESS_PRINTER_H
#define ZUCLOUD_TOOLS_PROGRESS_PRINTER_H

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace zutool {

std::string HumanBytes(double bytes);
std::string HumanDuration(double seconds);

class ProgressPrinter {
 public:
  // `quiet`: no line at all (--quiet); the reports are still followed, for
  // resumedAt().
  ProgressPrinter(std::FILE* out, bool terminal, bool quiet = false);
  // Starts the line of a new file; `name` is printed with its control
  // characters escaped.
  void begin(const std::string& name, unsigned long long total);
  // Called by the library (any thread) as bytes are confirmed. The first
  // report of a file is where its upload starts: above 0 when a blob upload
  // resumes, which prints "resumed at X of Y".
  void update(unsigned long long sent, unsigned long long total);
  // Ends the file's line.
  void finish(bool ok);
  // The bytes of the current (or last) file found stored when it started.
  unsigned long long resumedAt();
  // Prints `line` on `to` without breaking the file's line: on a terminal
  // the line is cleared first and drawn again after it.
  void note(std::FILE* to, const std::string& line);
  // The callback registered with the library; `context` is a ProgressPrinter.
  static void Callback(void* context, const char* fileName, unsigned long long sent,
                       unsigned long long total);

 private:
  void draw(unsigned long long sent, unsigned long long total, bool final);
  std::mutex m_mutex;
  std::FILE* m_out;
  bool m_terminal;
  bool m_quiet;
  bool m_drawing = false;  // a file's line is under way (between begin and finish)
  std::string m_name;
  unsigned long long m_total = 0;
  unsigned long long m_sent = 0;
  bool m_started = false;              // the first report came
  unsigned long long m_resumedAt = 0;  // bytes already stored at the start
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace zutool

#endif  // ZUCLOUD_TOOLS_PROGRESS_PRINTER_H
