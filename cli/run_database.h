#pragma once

#include <functional>
#include <optional>

#include "cli/options.h"
#include "cli/remembered_verdicts.h"
#include "db/results_db.h"

// The results database of a run (--db): opened for recording, or for the question of
// --show-errors or --coverage; what it knows of the run's files; and, at the end, what
// went bad since its last check and what could not be recorded. Without --db it is
// nothing, and says nothing.
class CRunDatabase {
 public:
  // False when the database named cannot be used (said on standard error).
  bool Open(const CliOptions& options);
  bool IsOpen() const { return m_db.has_value(); }
  // The run is a question for the database, not a check.
  bool Asked() const { return m_bAsked; }
  CResultsDb& Db() { return *m_db; }
  // What a second interrupt must still do before the program ends: commit what is
  // already reported.
  std::function<void()> LastWords();

  // Once the way of checking is settled: what the database knows of the run's files, null
  // without one.
  CRememberedVerdicts* Remember(CheckMode mode, std::optional<double> skipDays);

  // After the summary: says which files went bad unchanged since their last check, commits
  // and closes. False when verdicts were not recorded (said on standard error).
  bool Finish();

 private:
  std::optional<CResultsDb> m_db;
  std::optional<CRememberedVerdicts> m_remembered;
  bool m_bAsked = false;
};
