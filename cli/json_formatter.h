#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/result_formatter.h"

// One JSON object per line: one per file, then the summary.
class CJsonFormatter final : public IResultFormatter {
 public:
  CJsonFormatter(COutput& out, bool errorsOnly) : m_out(out), m_bErrorsOnly(errorsOnly) {}
  void Unchecked(const std::string& path, const std::string& reason) override;
  void File(const FileResult& result, const ResultNotes& notes) override;
  void Summary(const ScanSummary& summary, const RunFacts& run) override;

 private:
  COutput& m_out;
  bool m_bErrorsOnly;
  // The numbers of the files in a codec Harrowbit does not check.
  std::vector<int> m_unsupported;
};
