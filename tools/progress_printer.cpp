#include "progress_printer.h"

#include "printable.h"

namespace zutool {

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 4) {
    bytes /= 1024.0;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return buf;
}

std::string HumanDuration(double seconds) {
  char buf[32];
  if (seconds < 60) {
    std::snprintf(buf, sizeof buf, "%.1fs", seconds);
  } else {
    std::snprintf(buf, sizeof buf, "%dm%02ds", static_cast<int>(seconds) / 60,
                  static_cast<int>(seconds) % 60);
  }
  return buf;
}

ProgressPrinter::ProgressPrinter(std::FILE* out, bool terminal, bool quiet)
    : m_out(out), m_terminal(terminal), m_quiet(quiet) {}

void ProgressPrinter::begin(const std::string& name, unsigned long long total) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_name = Printable(name);
  m_total = total;
  m_sent = 0;
  m_started = false;
  m_resumedAt = 0;
  m_start = std::chrono::steady_clock::now();
  m_lastDraw = m_start;
  m_drawing = true;
  if (m_terminal) draw(0, total, false);
}

void ProgressPrinter::update(unsigned long long sent, unsigned long long total) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_started) {
    m_started = true;
    if (sent > 0) m_resumedAt = sent;
    if (sent > 0 && !m_quiet) {
      std::fprintf(m_out, "%s  %s resumed at %s of %s\n", m_terminal ? "\r\033[K" : "",
                   m_name.c_str(), HumanBytes(static_cast<double>(sent)).c_str(),
                   HumanBytes(static_cast<double>(total)).c_str());
      std::fflush(m_out);
    }
  }
  m_sent = sent;
  m_total = total;
  auto now = std::chrono::steady_clock::now();
  // A terminal line is redrawn often; plain output gets a line a second at
  // most, and the closing line comes from finish().
  const auto interval = m_terminal ? std::chrono::milliseconds(100) : std::chrono::seconds(1);
  if (sent < total && now - m_lastDraw >= interval) {
    m_lastDraw = now;
    draw(sent, total, false);
  }
}

void ProgressPrinter::finish(bool ok) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (ok) m_sent = m_total;
  draw(m_sent, m_total, true);
  m_drawing = false;
}

unsigned long long ProgressPrinter::resumedAt() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_resumedAt;
}

void ProgressPrinter::note(std::FILE* to, const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const bool redraw = m_terminal && m_drawing && !m_quiet;
  if (redraw) {
    std::fputs("\r\033[K", m_out);
    std::fflush(m_out);
  }
  std::fprintf(to, "%s\n", line.c_str());
  std::fflush(to);
  if (redraw) draw(m_sent, m_total, false);
}

void ProgressPrinter::draw(unsigned long long sent, unsigned long long total, bool final) {
  if (m_quiet) return;
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  // The rate counts the bytes sent by this run, not those found stored.
  const unsigned long long sentNow = sent > m_resumedAt ? sent - m_resumedAt : 0;
  double rate = elapsed > 0 ? static_cast<double>(sentNow) / elapsed : 0;
  int percent =
      total == 0 ? (final || sent > 0 ? 100 : 0)
                 : static_cast<int>(100.0 * static_cast<double>(sent) / static_cast<double>(total));
  if (final && total == 0) percent = 100;
  std::string left = rate > 0 && total > sent
                         ? HumanDuration(static_cast<double>(total - sent) / rate)
                         : std::string("-");
  char line[512];
  std::snprintf(line, sizeof line, "  %s %10s / %-10s %3d%%  %10s/s  left %s",
                FitWidth(m_name, 32).c_str(), HumanBytes(static_cast<double>(sent)).c_str(),
                HumanBytes(static_cast<double>(total)).c_str(), percent, HumanBytes(rate).c_str(),
                left.c_str());
  if (m_terminal) {
    std::fprintf(m_out, "\r\033[K%s%s", line, final ? "\n" : "");
  } else {
    std::fprintf(m_out, "%s\n", line);
  }
  std::fflush(m_out);
}

void ProgressPrinter::Callback(void* context, const char* /*fileName*/, unsigned long long sent,
                               unsigned long long total) {
  static_cast<ProgressPrinter*>(context)->update(sent, total);
}

}  // namespace zutool
