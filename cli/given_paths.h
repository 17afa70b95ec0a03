#pragma once

#include "cli/options.h"
#include "cli/result_formatter.h"
#include "scan/file_list.h"

// Fills `list` from the PATHs, then from the --files-from lists, in the order given, by the
// rule for one given path. What it could not use it names on standard error and to
// `formatter`; a list that cannot be read does not keep the others out. False when
// something named was not checked.
bool ListGivenPaths(const CliOptions& options, CFileList& list, IResultFormatter& formatter);
