#include "cli/text_formatter.h"

#include <string>

#include "scan/scan_report.h"

void CTextFormatter::File(const FileResult& result, const ResultNotes&) {
  if (m_bErrorsOnly && !result.verdict.IsError()) return;
  std::string line(result.line);
  line += '\n';
  m_out.Write(line);
}

void CTextFormatter::Summary(const ScanSummary& summary, const RunFacts& run) {
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
  } else if (run.budgetSpent) {
    // A nightly sweep runs with -q: this line is all that says how much is left.
    lines +=
        NotCheckedLine("Stopped by the time budget",
                       summary.listed - static_cast<std::size_t>(summary.files), summary.listed);
    lines += '\n';
  }
  m_out.Write(lines);
}
