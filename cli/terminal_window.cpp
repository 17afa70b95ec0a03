#include "cli/terminal_window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "filetest/ogg_check.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(5);

int TerminalColumns(std::FILE* stream) {
  winsize ws{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// Keeps the end of a long line, where the file's name is, cutting only between
// characters.
std::string TailColumns(const std::string& text, std::size_t columns) {
  std::size_t chars = 0;
  std::size_t i = text.size();
  while (i > 0 && chars < columns) {
    --i;
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++chars;
  }
  return text.substr(i);
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

CTerminalWindow::CTerminalWindow(std::FILE* report, std::FILE* progress, TerminalOptions options,
                                 const ScanCounts& counts, const CFileList& list)
    : m_report(report), m_progress(progress), m_options(options), m_counts(counts), m_list(list) {}

void CTerminalWindow::SetLogText(std::string_view text) {
  if (text.size() < m_nPrinted) m_nPrinted = 0;  // a new report begins
  const std::size_t lastBreak = text.rfind("\r\n");
  if (lastBreak != std::string_view::npos && lastBreak + 2 > m_nPrinted) {
    ClearProgress();
    for (std::size_t from = m_nPrinted; from < lastBreak + 2;) {
      const std::size_t end = text.find("\r\n", from);
      PrintLine(text.substr(from, end - from), false);
      from = end + 2;
    }
    std::fflush(m_report);
    m_nPrinted = lastBreak + 2;
  }
  m_strPending.assign(text.substr(m_nPrinted));
  if (m_options.showProgress) DrawProgress();
}

void CTerminalWindow::PrintLine(std::string_view line, bool isLast) {
  if (!m_options.printReport) return;
  // A file's verdict ends its line; a cancelled file's line ends in "..." alone.
  if (m_options.errorsOnly && !isLast && (EndsWith(line, "...OK") || EndsWith(line, "..."))) return;
  std::fwrite(line.data(), 1, line.size(), m_report);
  std::fputc('\n', m_report);
}

void CTerminalWindow::SetProgress(int64_t value, bool bSetRange) {
  if (bSetRange) {
    m_nRange = value;
    m_nPosition = 0;
  } else {
    m_nPosition = value;
  }
  if (!m_options.showProgress) return;
  if (Clock::now() - m_lastDraw < kRedrawInterval) return;
  DrawProgress();
}

void CTerminalWindow::Finish() {
  ClearProgress();
  if (!m_strPending.empty()) PrintLine(m_strPending, true);
  m_strPending.clear();
  std::fflush(m_report);
  m_options.showProgress = false;
}

std::string CTerminalWindow::RateAndTimeLeft() {
  const auto now = Clock::now();
  m_rateSamples.emplace_back(now, m_counts.audioSeconds);
  while (m_rateSamples.size() > 2 && now - m_rateSamples.front().first > kRateWindow) {
    m_rateSamples.pop_front();
  }
  const double span =
      std::chrono::duration<double>(now - m_rateSamples.front().first).count();
  std::string text;
  if (span > 0.5) {
    const double rate = (m_counts.audioSeconds - m_rateSamples.front().second) / span;
    text += std::to_string(static_cast<long long>(rate)) + "x  ";
  }
  const std::size_t listed = m_list.Count();
  const auto done = static_cast<std::size_t>(m_counts.filesDone);
  if (done > 0 && listed > done) {
    const double elapsed = std::chrono::duration<double>(now - m_start).count();
    text += FormatPosition(elapsed / double(done) * double(listed - done)) + " left  ";
  }
  return text;
}

void CTerminalWindow::DrawProgress() {
  m_lastDraw = Clock::now();
  std::string line = std::to_string(m_counts.filesDone) + "/" + std::to_string(m_list.Count()) +
                     " files  " + RateAndTimeLeft();
  // The growing line is the file being decoded.
  if (EndsWith(m_strPending, "...")) {
    const int64_t percent =
        m_nRange > 0 ? std::clamp<int64_t>(m_nPosition * 100 / m_nRange, 0, 100) : 0;
    line += std::to_string(percent) + "% ";
    std::string name = m_strPending.substr(m_strPending.find('\t') + 1);
    // A name may hold control bytes; on the terminal they must not act as commands.
    for (char& c : name) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    const std::size_t columns = static_cast<std::size_t>(TerminalColumns(m_progress) - 1);
    line += TailColumns(name, columns > line.size() ? columns - line.size() : 0);
  }
  std::fprintf(m_progress, "\r\033[K%s", line.c_str());
  std::fflush(m_progress);
  m_bProgressShown = true;
}

void CTerminalWindow::ClearProgress() {
  if (!m_bProgressShown) return;
  std::fputs("\r\033[K", m_progress);
  std::fflush(m_progress);
  m_bProgressShown = false;
}
