#pragma once

#include "cli/options.h"
#include "cli/remembered_verdicts.h"
#include "scan/file_tester.h"
#include "scan/scan_state.h"

// How a run decodes: which check, on how many helpers, or in this process.

// --quick where this libvorbis allows it; else the run checks in full, and says so.
void SettleTheCheck(CliOptions& options);

// Lowers -j to what the limit on open files allows. False when not even one decoder
// helper could start (said on standard error); true at once for --in-process.
bool FitJobsToOpenFiles(CliOptions& options);

// The testers of the run, by its options: in-process, one helper, or several ahead of the
// scan; a file whose recorded verdict stands is not decoded at all.
TesterFactory MakeTesters(const CliOptions& options, const CScanState& state,
                          CRememberedVerdicts* remembered);
