#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/result_formatter.h"

// One JSON object per line: one per file, then the summary.
class CJsonFormatter final : public IResultFormatter {
 public:
  // `strict`: every file gets its "warnings".
  CJsonFormatter(COutput& out, bool errorsOnly, bool strict)
      : m_out(out), m_bErrorsOnly(errorsOnly), m_bStrict(strict) {}
  void Unchecked(const std::string& path, const std::string& reason) override;
  void File(const FileResult& result, const ResultNotes& notes) override;
  void Summary(const ScanSummary& summary, const RunFacts& run) override;

 private:
  COutput& m_out;
  bool m_bErrorsOnly;
  // The numbers of the files in a codec Harrowbit does not check.
  std::vector<int> m_unsupported;
  // The numbers of the files whose sound changed since their last check.
  std::vector<int> m_audioChanged;
  bool m_bStrict;
};
