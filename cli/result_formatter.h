#pragma once

#include "cli/output.h"
#include "scan/scan_listener.h"

struct RunFacts {
  // Stopped by a signal before the end of the list.
  bool cancelled = false;
};

// Writes a scan's results for a reader: the report's lines, or JSON for scripts. Fed with
// structured results, never with the report's text.
class IResultFormatter {
 public:
  virtual ~IResultFormatter() = default;
  virtual void File(const FileResult& result) = 0;
  virtual void Summary(const ScanSummary& summary, const RunFacts& run) = 0;
};
