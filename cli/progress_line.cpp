#include "cli/progress_line.h"

#include <algorithm>

#include "platform/path_bytes.h"
#include "platform/program.h"
#include "text/path_text.h"
#include "text/position_text.h"
#include "text/terminal_columns.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(5);

}  // namespace

void CProgressLine::SetProgress(int64_t value, bool bSetRange) {
  if (bSetRange) {
    m_nRange = value;
    m_nPosition = 0;
  } else {
    m_nPosition = value;
  }
  if (Clock::now() - m_lastDraw >= kRedrawInterval) Draw();
}

void CProgressLine::OnFileBegun(int, const ListedFile& file) {
  m_bCurrentRemembered = m_remembered && m_remembered(file);
  m_fileBegun = Clock::now();
  // Control characters show as U+FFFD: on the terminal they must not act as commands.
  m_strCurrent = DisplayText(PathToUtf8(file.path));
  m_lastPosition = 0;
  m_nRange = m_nPosition = 0;
}

void CProgressLine::OnFileStep(const FileVerdict& soFar) {
  if (m_bCurrentRemembered) return;
  if (soFar.position > m_lastPosition) m_audioSeconds += soFar.position - m_lastPosition;
  m_lastPosition = soFar.position;
}

void CProgressLine::OnFileEnded(const FileResult&) {
  ++m_nFilesDone;
  if (m_bCurrentRemembered) {
    ++m_nRemembered;
  } else {
    m_decoding += Clock::now() - m_fileBegun;
  }
  m_strCurrent.clear();
  if (Clock::now() - m_lastDraw >= kRedrawInterval) Draw();
}

std::string CProgressLine::RateAndTimeLeft() {
  const auto now = Clock::now();
  m_rateSamples.emplace_back(now, m_audioSeconds);
  while (m_rateSamples.size() > 2 && now - m_rateSamples.front().first > kRateWindow) {
    m_rateSamples.pop_front();
  }
  const double span = std::chrono::duration<double>(now - m_rateSamples.front().first).count();
  std::string text;
  if (span > 0.5) {
    const double rate = (m_audioSeconds - m_rateSamples.front().second) / span;
    text += std::to_string(static_cast<long long>(rate)) + "x  ";
  }
  // Files ahead may yet be answered from the database: reckoning them all as decoded
  // errs on the long side.
  const std::size_t listed = m_list.Count();
  const auto done = static_cast<std::size_t>(m_nFilesDone);
  const auto decoded = static_cast<std::size_t>(m_nFilesDone - m_nRemembered);
  if (decoded > 0 && listed > done) {
    const double perFile = std::chrono::duration<double>(m_decoding).count() / double(decoded);
    text += FormatPosition(perFile * double(listed - done)) + " left  ";
  }
  return text;
}

void CProgressLine::Draw() {
  m_lastDraw = Clock::now();
  std::string line = std::to_string(m_nFilesDone) + "/" + std::to_string(m_list.Count()) + " files";
  if (m_nRemembered > 0) line += " (" + std::to_string(m_nRemembered) + " as recorded)";
  line += "  " + RateAndTimeLeft();
  if (!m_strCurrent.empty()) {
    const int64_t percent =
        m_nRange > 0 ? std::clamp<int64_t>(m_nPosition * 100 / m_nRange, 0, 100) : 0;
    line += std::to_string(percent) + "% ";
    // The end of the name, where the file is told apart, in what is left of the width.
    const auto columns = static_cast<std::size_t>(TerminalColumns(m_terminal) - 1);
    const std::size_t used = DisplayColumns(line);
    line += CutToColumnsFromLeft(m_strCurrent, columns > used ? columns - used : 0);
  }
  std::fprintf(m_terminal, "\r\033[K%s", line.c_str());
  std::fflush(m_terminal);
  m_bShown = true;
}

void CProgressLine::Clear() {
  if (!m_bShown) return;
  std::fputs("\r\033[K", m_terminal);
  std::fflush(m_terminal);
  m_bShown = false;
}
