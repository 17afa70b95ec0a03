#include "cli/text_formatter.h"

#include <string>

#include "scan/scan_report.h"
#include "text/path_text.h"
#include "text/position_text.h"

void CTextFormatter::File(const FileResult& result, const ResultNotes&) {
  const FileVerdict& v = result.verdict;
  if (v.unsupported) m_unsupported.push_back(result.number);
  // A breach of a format rule makes the exit status 1 as an error does: -q shows it too.
  if (m_bErrorsOnly && !v.IsError() && !v.HasWarnings()) return;
  std::string line(result.line);
  if (v.unsupported) line += "NOT CHECKED (" + DisplayText(v.reason) + ")";
  if (!v.skippedLinks.empty()) line += " (links not checked: " + v.skippedLinks + ")";
  line += '\n';
  for (const FileVerdict::Warning& w : v.warnings) {
    line += '\t' + DisplayText(w.name) + " @ " + FormatPosition(w.position) + ", byte " +
            std::to_string(w.offset) + ": " + DisplayText(w.text) + '\n';
  }
  // Without a line of its own, a file whose rules were not judged reads as one that breaks
  // none.
  if (m_bStrict && !v.warningsKnown)
    line += "\tformat rules: not known, the check did not finish\n";
  if (v.warningsNotListed > 0) {
    line += "\tand " + std::to_string(v.warningsNotListed) +
            " more breaches of the rules above, not listed\n";
  }
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
  if (!m_unsupported.empty()) {
    lines += std::to_string(m_unsupported.size()) +
             " files not checked: no stream in a codec Harrowbit checks [";
    for (std::size_t i = 0; i < m_unsupported.size(); ++i) {
      if (i > 0) lines += ',';
      lines += std::to_string(m_unsupported[i]);
    }
    lines += "]\n";
  }
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
