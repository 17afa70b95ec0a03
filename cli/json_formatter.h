#pragma once

#include <string>
#include <string_view>

#include "cli/result_formatter.h"

// One JSON object per line: one per file, then the summary.
class CJsonFormatter final : public IResultFormatter {
 public:
  CJsonFormatter(COutput& out, bool errorsOnly) : m_out(out), m_bErrorsOnly(errorsOnly) {}
  void File(const FileResult& result) override;
  void Summary(const ScanSummary& summary, const RunFacts& run) override;

 private:
  COutput& m_out;
  bool m_bErrorsOnly;
};

// A JSON string for bytes that may not be UTF-8: valid text as it is, and each byte that
// does not decode as the lone surrogate U+DC80 + (byte - 0x80), the "surrogateescape"
// that Python's os.fsencode and bytes.decode(..., "surrogateescape") undo.
std::string JsonString(std::string_view bytes);
