#pragma once

#include <string>
#include <vector>

#include "cli/result_formatter.h"

// The window's report, a line per file with "\n" line ends.
class CTextFormatter final : public IResultFormatter {
 public:
  CTextFormatter(COutput& out, bool errorsOnly, bool strict)
      : m_out(out), m_bErrorsOnly(errorsOnly), m_bStrict(strict) {}
  void File(const FileResult& result, const ResultNotes& notes) override;
  void Summary(const ScanSummary& summary, const RunFacts& run) override;

 private:
  COutput& m_out;
  bool m_bErrorsOnly;
  bool m_bStrict;
  // A file's lines, built here: its room is kept from file to file.
  std::string m_strLines;
  // The numbers of the files in a codec Harrowbit does not check.
  std::vector<int> m_unsupported;
  // The numbers of the files whose sound changed since their last check.
  std::vector<int> m_audioChanged;
};
