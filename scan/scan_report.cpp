#include "scan/scan_report.h"

#include "platform/path_bytes.h"
#include "text/path_text.h"

void CScanReport::BeginLine() {
  if (!m_bKeepAll) {
    m_strText.clear();
    m_nLineStart = 0;
    return;
  }
  if (!m_strText.empty()) m_strText += "\r\n";
  m_nLineStart = m_strText.size();
}

void CScanReport::BeginFile(int number, std::size_t total, const std::filesystem::path& path) {
  BeginLine();
  m_nCurrentFile = number;
  m_strText += '[';
  m_strText += std::to_string(number);
  m_strText += '/';
  m_strText += std::to_string(total);
  m_strText += "]\t";
  m_strText += DisplayText(PathToUtf8(path));
  m_strText += "...";
}

void CScanReport::AddOk() { m_strText += "OK"; }

void CScanReport::AddError(std::string_view reason) {
  m_strText += "ERROR (";
  m_strText += reason;
  m_strText += ')';
  m_failed.push_back(m_nCurrentFile);
}

void CScanReport::AddSummary(int filesBegun) {
  BeginLine();
  m_strText += std::to_string(filesBegun);
  m_strText += " files, ";
  m_strText += std::to_string(m_failed.size());
  m_strText += " errors";
  if (m_failed.empty()) return;
  m_strText += " [";
  for (std::size_t i = 0; i < m_failed.size(); ++i) {
    if (i > 0) m_strText += ',';
    m_strText += std::to_string(m_failed[i]);
  }
  m_strText += ']';
}

std::string_view CScanReport::CurrentLine() const {
  return std::string_view(m_strText).substr(m_nLineStart);
}
