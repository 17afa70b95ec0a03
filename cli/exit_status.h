#pragma once

// What decides the exit status, strongest first.
struct RunOutcome {
  int outputError = 0;  // errno of the first failed write
  int signal = 0;
  bool trouble = false;
  // --salvage: a repaired copy could not be written.
  bool salvageNotWritten = false;  // something named or found was not checked, or not recorded
  bool damage = false;
};

// The exit status of a run that ended so: the results not all written outweigh an
// interrupt, which outweighs a salvage not written, then trouble, then damage. A failed write other
// than a broken pipe is said on standard error.
int ExitStatus(const RunOutcome& run);
