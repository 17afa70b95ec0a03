#pragma once

// What decides the exit status, strongest first.
struct RunOutcome {
  int outputError = 0;  // errno of the first failed write
  int signal = 0;
  bool trouble = false;  // something named or found was not checked, or not recorded
  bool damage = false;
};

// The exit status of a run that ended so: the results not all written outweigh an
// interrupt, which outweighs trouble, which outweighs damage. A failed write other than a
// broken pipe is said on standard error.
int ExitStatus(const RunOutcome& run);
