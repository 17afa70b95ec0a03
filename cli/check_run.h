#pragma once

#include <memory>
#include <optional>

#include "cli/interrupt_watcher.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/result_formatter.h"
#include "cli/run_database.h"
#include "cli/run_listeners.h"
#include "cli/salvage_run.h"
#include "scan/file_tester.h"
#include "scan/scan_state.h"

// One run of harrowbit-cli once its options are read: the files listed, decoded and
// reported on, the results database kept, and the exit status that sums it up.
class CCheckRun {
 public:
  explicit CCheckRun(CliOptions options);

  // Makes everything ready to check. The exit status when the run ends here: nothing can
  // be checked, or the run was a question for the results database, now answered.
  std::optional<int> Build();
  // Checks the files, writes the summary and ends the database. The exit status.
  int Run();

 private:
  CliOptions m_options;
  CScanState m_state;
  std::optional<CInterruptWatcher> m_watcher;
  COutput m_out;
  CRunDatabase m_database;
  std::unique_ptr<IResultFormatter> m_formatter;
  // Every PATH and list named was used.
  bool m_bListWhole = true;
  TesterFactory m_testers;
  std::optional<CRunListeners> m_listeners;
  std::optional<CSalvageRun> m_salvage;
};
