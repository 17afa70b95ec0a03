#include "cli/exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/options.h"
#include "platform/program.h"

int ExitStatus(const RunOutcome& run) {
  if (run.outputError == EPIPE) return BrokenPipeExitStatus();
  if (run.outputError != 0) {
    std::fprintf(stderr, "harrowbit-cli: cannot write the results: %s\n",
                 std::strerror(run.outputError));
    return kExitTrouble;
  }
  if (run.signal != 0) return InterruptedExitStatus(run.signal);
  if (run.salvageNotWritten) return kExitSalvageNotWritten;
  if (run.trouble) return kExitTrouble;
  return run.damage ? kExitDamaged : kExitClean;
}
