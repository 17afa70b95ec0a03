#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/output.h"
#include "scan/check_mode.h"
#include "scan/scan_listener.h"

struct RunFacts {
  // Stopped by a signal before the end of the list.
  bool cancelled = false;
  // No file was begun after the time budget was spent.
  bool budgetSpent = false;
  // How the files were checked.
  CheckMode mode{};
};

// What the results database adds to a file's result.
struct ResultNotes {
  // The verdict is the one recorded then (Unix milliseconds), not a fresh check.
  std::optional<int64_t> recordedAtMs;
  // The file was OK at a check then, is unchanged, and fails now.
  std::optional<int64_t> wasOkAtMs;
  // The file changed and decodes clean, but its sound is not the one its last check of the
  // same reach heard then: a re-encode, or audio that a tag editor broke.
  std::optional<int64_t> audioChangedFromMs;
};

// Writes a scan's results for a reader: the report's lines, or JSON for scripts. Fed with
// structured results, never with the report's text.
class IResultFormatter {
 public:
  virtual ~IResultFormatter() = default;
  // A PATH or folder that could not be checked at all, before the files. Standard error
  // names it too, so the report itself need not.
  virtual void Unchecked(const std::string& path, const std::string& reason) {
    (void)path;
    (void)reason;
  }
  virtual void File(const FileResult& result, const ResultNotes& notes) = 0;
  virtual void Summary(const ScanSummary& summary, const RunFacts& run) = 0;
};
