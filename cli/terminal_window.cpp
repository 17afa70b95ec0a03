#include "cli/terminal_window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

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

}  // namespace

CTerminalWindow::CTerminalWindow(std::FILE* report, std::FILE* progress, bool showProgress)
    : m_report(report), m_progress(progress), m_bShowProgress(showProgress) {}

void CTerminalWindow::SetLogText(std::string_view text) {
  if (text.size() < m_nPrinted) m_nPrinted = 0;  // a new report begins
  const std::size_t lastBreak = text.rfind("\r\n");
  if (lastBreak != std::string_view::npos && lastBreak + 2 > m_nPrinted) {
    ClearProgress();
    std::string lines;
    std::size_t from = m_nPrinted;
    while (from < lastBreak + 2) {
      const std::size_t end = text.find("\r\n", from);
      lines.append(text.substr(from, end - from));
      lines += '\n';
      from = end + 2;
    }
    std::fwrite(lines.data(), 1, lines.size(), m_report);
    std::fflush(m_report);
    m_nPrinted = lastBreak + 2;
  }
  m_strPending.assign(text.substr(m_nPrinted));
  if (m_bShowProgress) DrawProgress();
}

void CTerminalWindow::SetProgress(int64_t value, bool bSetRange) {
  if (bSetRange) {
    m_nRange = value;
    m_nPosition = 0;
  } else {
    m_nPosition = value;
  }
  if (!m_bShowProgress) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_lastDraw < kRedrawInterval) return;
  DrawProgress();
}

void CTerminalWindow::Finish() {
  ClearProgress();
  if (!m_strPending.empty()) {
    m_strPending += '\n';
    std::fwrite(m_strPending.data(), 1, m_strPending.size(), m_report);
    m_strPending.clear();
  }
  std::fflush(m_report);
  m_bShowProgress = false;
}

void CTerminalWindow::DrawProgress() {
  m_lastDraw = std::chrono::steady_clock::now();
  // The growing line is the file being decoded; once it has its verdict there is
  // nothing to show until the next one begins.
  if (m_strPending.size() < 3 || m_strPending.compare(m_strPending.size() - 3, 3, "...") != 0) {
    ClearProgress();
    return;
  }
  const int64_t percent =
      m_nRange > 0 ? std::min<int64_t>(100, std::max<int64_t>(0, m_nPosition) * 100 / m_nRange) : 0;
  std::string line = std::to_string(percent) + "% ";
  std::string name = m_strPending;
  // A name may hold control bytes; on the terminal they must not act as commands.
  for (char& c : name) {
    if (c == '\t') c = ' ';
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  const int columns = TerminalColumns(m_progress) - 1;
  line += TailColumns(name, columns > static_cast<int>(line.size()) ? columns - line.size() : 0);
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
