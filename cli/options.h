#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/check_mode.h"
#include "scan/file_collection.h"

struct CliOptions {
  std::vector<std::string> paths;
  int jobs = 0;  // 0: one per processor
  bool errorsOnly = false;
  bool json = false;
  bool inProcess = false;
  // Decode nothing unconfined (DecoderOptions::requireSandbox).
  bool requireSandbox = false;
  // --quick, --all-codecs, --strict.
  CheckMode mode{};
  // The results database, and what it is asked.
  std::string db;
  std::optional<double> skipCheckedDays;
  bool showErrors = false;
  // Files whose last check found their audio hash changed (--show-changes).
  bool showChanges = false;
  // A changed audio hash counts in the exit status as damage does.
  bool failOnAudioChange = false;
  std::optional<double> coverageDays;
  // Start no new file after this long.
  std::optional<std::chrono::milliseconds> budget;
  // Files of paths ("-": standard input), read in this order, separated by newlines or NULs.
  std::vector<std::string> filesFrom;
  bool nulSeparated = false;
  // --salvage DIR: a repaired copy of each damaged file under DIR; --other-copies DIR2: the
  // same files elsewhere, for the pages they lost; --force: replace what DIR holds.
  std::string salvageDir;
  std::string otherCopies;
  bool force = false;
};

// The file names a run takes: ".ogg", or with --all-codecs ".oga" and ".opus" too.
inline OggNames OggNamesOf(const CliOptions& options) {
  return options.mode.everyCodec ? OggNames::kAnyOggAudio : OggNames::kOggOnly;
}

inline constexpr int kExitClean = 0;
inline constexpr int kExitDamaged = 1;
// Bad usage, a path that could not be checked, or a fault of the run.
inline constexpr int kExitTrouble = 2;
// --salvage: a repaired copy could not be written (a folder that cannot be made, a full disk).
inline constexpr int kExitSalvageNotWritten = 3;

// "90s", "45m", "2h", or seconds alone.
std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text);

// The bounds of DAYS (--skip-checked, --coverage): from a minute and a half to a century.
inline constexpr double kFewestDays = 0.001;
inline constexpr double kMostDays = 36500;
// A number of days within the bounds, in plain decimal notation ("90", "0.5", "1e3" too).
std::optional<double> ParseDays(std::string_view text);

// Returns -1 to go on, or the exit status when the options already settle it (help,
// version, a usage error, which it has printed).
int ParseOptions(int argc, char** argv, CliOptions& options);
