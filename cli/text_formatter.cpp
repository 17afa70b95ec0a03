#include "cli/text_formatter.h"

#include <string>

void CTextFormatter::File(const FileResult& result, const ResultNotes&) {
  if (m_bErrorsOnly && !result.verdict.IsError()) return;
  std::string line(result.line);
  line += '\n';
  m_out.Write(line);
}

void CTextFormatter::Summary(const ScanSummary& summary, const RunFacts&) {
  std::string lines;
  for (const std::string& unchecked : summary.uncheckedLines) {
    lines += unchecked;
    lines += '\n';
  }
  lines += summary.line;
  lines += '\n';
  if (!summary.notCheckedLine.empty()) {
    lines += summary.notCheckedLine;
    lines += '\n';
  }
  m_out.Write(lines);
}
