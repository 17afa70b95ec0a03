#pragma once

#include <string>
#include <vector>

struct CliOptions {
  std::vector<std::string> paths;
  int jobs = 0;  // 0: one per processor
  bool errorsOnly = false;
  bool json = false;
  bool inProcess = false;
};

inline constexpr int kExitClean = 0;
inline constexpr int kExitDamaged = 1;
// Bad usage, a path that could not be checked, or a fault of the run.
inline constexpr int kExitTrouble = 2;

// Returns -1 to go on, or the exit status when the options already settle it (help,
// version, a usage error, which it has printed).
int ParseOptions(int argc, char** argv, CliOptions& options);
