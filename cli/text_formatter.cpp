#include "cli/text_formatter.h"

#include <string>

#include "scan/scan_report.h"
#include "text/path_text.h"
#include "text/position_text.h"

namespace {

// "[4,17]"
std::string NumberList(const std::vector<int>& numbers) {
  std::string list = "[";
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) list += ',';
    list += std::to_string(numbers[i]);
  }
  return list + "]\n";
}

}  // namespace

void CTextFormatter::File(const FileResult& result, const ResultNotes& notes) {
  const FileVerdict& v = result.verdict;
  if (notes.audioChangedFromMs) m_audioChanged.push_back(result.number);
  if (v.unsupported) m_unsupported.push_back(result.number);
  // A breach of a format rule makes the exit status 1 as an error does: -q shows it too.
  if (m_bErrorsOnly && !v.IsError() && !v.HasWarnings()) return;
  std::string& line = m_strLines;
  line.assign(result.line);
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
             " files not checked: no stream in a codec Harrowbit checks " +
             NumberList(m_unsupported);
  }
  // Named as the files not checked are: not damage, but worth a look.
  if (!m_audioChanged.empty()) {
    lines += "Audio changed since its last check: " + std::to_string(m_audioChanged.size()) +
             " files " + NumberList(m_audioChanged);
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
