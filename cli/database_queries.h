#pragma once

#include "cli/options.h"
#include "cli/output.h"
#include "db/results_db.h"

// Answers --show-errors, --show-changes and --coverage from `db`, opened by the caller for a query,
// and writes the answer to `out` by the rules of a scan's output. Returns the exit status: 0, 2 for
// a fault of the database, of a PATH or of the output (said on standard error), or 128 + SIGPIPE
// when the reader went away.
int AskTheDatabase(const CliOptions& options, CResultsDb& db, COutput& out);
