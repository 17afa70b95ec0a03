#include "scan/scan_report.h"

#include "platform/path_bytes.h"
#include "text/path_text.h"

void CScanReport::BeginLine() {
  if (!m_bKeepAll && !m_bTail) {
    m_strText.clear();
    m_nLineStart = 0;
    return;
  }
  if (!m_strText.empty()) m_strText += "\r\n";
  m_nLineStart = m_strText.size();
}

// The lines after the files are few and all kept: the front ends read them back.
void CScanReport::BeginTailLine() {
  if (!m_bKeepAll && !m_bTail) m_strText.clear();
  m_bTail = true;
  BeginLine();
}

void CScanReport::BeginFile(int number, std::size_t total, const std::filesystem::path& path) {
  BeginLine();
  m_nCurrentFile = number;
  m_strText += '[';
  m_strText += std::to_string(number);
  m_strText += '/';
  m_strText += std::to_string(total);
  m_strText += "]\t";
  AppendDisplayText(m_strText, PathToUtf8(path));
  m_strText += "...";
}

void CScanReport::AddOk() { m_strText += "OK"; }

void CScanReport::AddError(std::string_view reason) {
  m_strText += "ERROR (";
  m_strText += reason;
  m_strText += ')';
  m_failed.push_back(m_nCurrentFile);
}

void CScanReport::AddWarned(int64_t count) {
  m_strText += "WARN (";
  m_strText += std::to_string(count);
  m_strText += ')';
  NoteWarned();
}

void CScanReport::NoteWarned() { m_warned.push_back(m_nCurrentFile); }

void CScanReport::AddUnchecked(const std::filesystem::path& path, std::string_view reason) {
  BeginTailLine();
  m_strText += "Not checked: ";
  m_strText += DisplayText(PathToUtf8(path));
  m_strText += " (";
  m_strText += DisplayText(reason);
  m_strText += ')';
  m_uncheckedSpans.emplace_back(m_nLineStart, m_strText.size());
}

void CScanReport::AddSummary(int filesBegun) {
  BeginTailLine();
  m_nSummaryStart = m_nLineStart;
  m_strText += std::to_string(filesBegun);
  m_strText += " files, ";
  m_strText += std::to_string(m_failed.size());
  m_strText += " errors";
  if (!m_failed.empty()) {
    m_strText += " [";
    for (std::size_t i = 0; i < m_failed.size(); ++i) {
      if (i > 0) m_strText += ',';
      m_strText += std::to_string(m_failed[i]);
    }
    m_strText += ']';
  }
  // Only a strict check warns, so the summary of any other stays as it was.
  if (!m_warned.empty()) {
    m_strText += ", ";
    m_strText += std::to_string(m_warned.size());
    m_strText += " with warnings [";
    for (std::size_t i = 0; i < m_warned.size(); ++i) {
      if (i > 0) m_strText += ',';
      m_strText += std::to_string(m_warned[i]);
    }
    m_strText += ']';
  }
  m_nSummaryEnd = m_strText.size();
}

void CScanReport::AddNotChecked(std::string_view reason, std::size_t notChecked,
                                std::size_t listed) {
  BeginTailLine();
  m_nNotCheckedStart = m_nLineStart;
  m_strText += ::NotCheckedLine(reason, notChecked, listed);
}

std::vector<std::string> CScanReport::UncheckedLines() const {
  std::vector<std::string> lines;
  for (const auto& [begin, end] : m_uncheckedSpans)
    lines.push_back(m_strText.substr(begin, end - begin));
  return lines;
}

std::string_view CScanReport::NotCheckedLine() const {
  if (m_nNotCheckedStart == 0) return {};
  return std::string_view(m_strText).substr(m_nNotCheckedStart);
}

std::string_view CScanReport::SummaryLine() const {
  return std::string_view(m_strText).substr(m_nSummaryStart, m_nSummaryEnd - m_nSummaryStart);
}

std::string NotCheckedLine(std::string_view reason, std::size_t notChecked, std::size_t listed) {
  std::string line(reason);
  line += ": ";
  line += std::to_string(notChecked);
  line += " of ";
  line += std::to_string(listed);
  line += " files not checked";
  return line;
}

std::string_view CScanReport::CurrentLine() const {
  return std::string_view(m_strText).substr(m_nLineStart);
}
