#include "cli/options.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <string_view>
#include <thread>

namespace {

const char kUsage[] =
    "Usage: harrowbit-cli [OPTION]... PATH...\n"
    "Decode every Ogg Vorbis file under each PATH completely and report, file by file,\n"
    "\"OK\" or where and how decoding failed.\n"
    "\n"
    "A PATH that is a folder is searched recursively, skipping folders whose names\n"
    "begin with \".\"; a PATH that is a file is tested when its name ends in \".ogg\"\n"
    "in any letter case. Files are reported in the order they are found.\n"
    "\n"
    "  -j, --jobs N        decode N files at once (default: the number of processors);\n"
    "                      the report is the same whatever N\n"
    "  -q, --errors-only   print only the failed files' lines and the summary\n"
    "      --json          print one JSON object per file and a summary object instead\n"
    "                      of the report (see the README for the fields)\n"
    "      --in-process    decode inside this process, one file at a time: a little\n"
    "                      faster, but a file that crashes the decoder ends the check,\n"
    "                      and the decoder runs unconfined, with all this program may do\n"
    "      --require-sandbox  decode nothing where the decoder helper cannot be\n"
    "                      confined (no seccomp in the kernel; Wine): end the check as a\n"
    "                      fault of the run instead of decoding unconfined with a\n"
    "                      warning\n"
    "      --quick         check without audio synthesis, about fifty times faster:\n"
    "                      the same verdicts, except that a file crafted to crash the\n"
    "                      decoder while it synthesises audio passes (Vorbis only)\n"
    "      --all-codecs    check Opus and FLAC in Ogg too, each by its own library, and\n"
    "                      take names ending in \".oga\" and \".opus\" as well; a stream\n"
    "                      in another codec is reported as not checked, never as damage\n"
    "      --strict        also hold each file to the Ogg and Vorbis format rules that\n"
    "                      decoders forgive and players trip over (with --all-codecs,\n"
    "                      Opus's and FLAC's too); a file that breaks one ends in\n"
    "                      WARN (n) with a line per breach, and counts as damaged in\n"
    "                      the exit status\n"
    "      --files-from FILE  check the paths listed in FILE (\"-\": standard input),\n"
    "                      one per line, each as a PATH; given again, every list is\n"
    "                      read, in order\n"
    "  -0, --null          entries of --files-from end in NUL bytes, not newlines\n"
    "      --budget TIME   start no new file after TIME (90s, 45m, 2h); the check then\n"
    "                      ends as a cancelled one, with its exit status by what it found\n"
    "\n"
    "Results database:\n"
    "      --db FILE       record every verdict in the SQLite database FILE (made if\n"
    "                      missing); with the options below, use what it holds\n"
    "      --skip-checked DAYS  do not decode a file again that is unchanged since a\n"
    "                      check at least as thorough less than DAYS days ago: report\n"
    "                      its recorded verdict\n"
    "      --show-errors   list the files whose last verdict was an error, and scan\n"
    "                      nothing\n"
    "      --show-changes  list the files whose last check found their sound changed\n"
    "                      since the check before (a new audio hash, not new tags), and\n"
    "                      scan nothing\n"
    "      --fail-on-audio-change  exit with 1 when a file's sound changed since its\n"
    "                      last check, as for damage\n"
    "      --coverage DAYS  say how many of the files on disk under each PATH have a\n"
    "                      record of a check within DAYS days that still fits the\n"
    "                      file, and scan nothing\n"
    "\n"
    "Salvage:\n"
    "      --salvage DIR   for each file with an error (with --strict, also each that\n"
    "                      breaks a format rule), write a repaired copy under DIR at its\n"
    "                      path below the PATH it was found under: pages that fail\n"
    "                      their CRC, stray and duplicated pages and packets the decoder\n"
    "                      refuses are left out, nothing is re-encoded; a copy is kept\n"
    "                      only if it passes the check and every format rule, and the\n"
    "                      report says SALVAGED (what was kept and lost) or NOT SALVAGED\n"
    "                      (why); originals are never written to, files under DIR are\n"
    "                      not checked\n"
    "      --other-copies DIR2  take pages a damaged file lost from its twin at the\n"
    "                      same path below DIR2 (a backup, a second download)\n"
    "      --force         replace salvages already under DIR\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the version and exit\n"
    "\n"
    "Exit status: 0 if every file decoded cleanly, 1 if any file has an error (or,\n"
    "with --strict, breaks a format rule; with --fail-on-audio-change, sounds\n"
    "different from its last check),\n"
    "2 for bad usage, a PATH that could not be checked or a fault of the run (a\n"
    "folder that cannot be read, output or a database that cannot be written),\n"
    "3 when a salvage could not be written (--salvage),\n"
#ifdef _WIN32
    "0xC000013A (STATUS_CONTROL_C_EXIT) when interrupted, as Windows programs end.\n"
#else
    "130 when interrupted.\n"
#endif
    "With --all-codecs, a file in a codec Harrowbit does not check is reported as\n"
    "NOT CHECKED, counted apart in the summary, and leaves the exit status as it is\n"
    "(with --strict, its pages' breaches count as any file's).\n";

enum LongOnly {
  kJson = 256,
  kInProcess,
  kQuick,
  kDb,
  kSkipChecked,
  kShowErrors,
  kCoverage,
  kBudget,
  kFilesFrom,
  kAllCodecs,
  kStrict,
  kSalvage,
  kOtherCopies,
  kForce,
  kShowChanges,
  kFailOnAudioChange,
  kRequireSandbox
};

const option kLongOptions[] = {
    {"jobs", required_argument, nullptr, 'j'},
    {"errors-only", no_argument, nullptr, 'q'},
    {"json", no_argument, nullptr, kJson},
    {"in-process", no_argument, nullptr, kInProcess},
    {"require-sandbox", no_argument, nullptr, kRequireSandbox},
    {"quick", no_argument, nullptr, kQuick},
    {"all-codecs", no_argument, nullptr, kAllCodecs},
    {"strict", no_argument, nullptr, kStrict},
    {"db", required_argument, nullptr, kDb},
    {"skip-checked", required_argument, nullptr, kSkipChecked},
    {"show-errors", no_argument, nullptr, kShowErrors},
    {"show-changes", no_argument, nullptr, kShowChanges},
    {"fail-on-audio-change", no_argument, nullptr, kFailOnAudioChange},
    {"coverage", required_argument, nullptr, kCoverage},
    {"budget", required_argument, nullptr, kBudget},
    {"files-from", required_argument, nullptr, kFilesFrom},
    {"null", no_argument, nullptr, '0'},
    {"salvage", required_argument, nullptr, kSalvage},
    {"other-copies", required_argument, nullptr, kOtherCopies},
    {"force", no_argument, nullptr, kForce},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "harrowbit-cli: %s\n%s", message.c_str(), kUsage);
  return kExitTrouble;
}

bool SetDays(const char* text, std::optional<double>& days) {
  days = ParseDays(text);
  return days.has_value();
}

std::string DaysError(const char* text) {
  return "'" + std::string(text) + "' is not a number of days from 0.001 to 36500";
}

bool ParseJobs(std::string_view text, int& jobs) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return ec == std::errc() && end == text.data() + text.size() && jobs >= 1 && jobs <= 1024;
}

}  // namespace

std::optional<double> ParseDays(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  // Also refuses NaN and the infinities.
  if (ec != std::errc() || end != text.data() + text.size() ||
      !(value >= kFewestDays && value <= kMostDays)) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::chrono::milliseconds> ParseDuration(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || !(value >= 0)) return std::nullopt;
  const std::string_view unit = text.substr(static_cast<std::size_t>(end - text.data()));
  double seconds = value;
  if (unit == "m") {
    seconds *= 60;
  } else if (unit == "h") {
    seconds *= 3600;
  } else if (unit != "s" && !unit.empty()) {
    return std::nullopt;
  }
  if (seconds > 1e9) return std::nullopt;
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

int ParseOptions(int argc, char** argv, CliOptions& options) {
  opterr = 0;  // our own messages, with the usage after them
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":j:q0hV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'j':
        if (!ParseJobs(optarg, options.jobs)) {
          return UsageError("'" + std::string(optarg) + "' is not a number of jobs from 1 to 1024");
        }
        break;
      case 'q': options.errorsOnly = true; break;
      case kJson: options.json = true; break;
      case kInProcess: options.inProcess = true; break;
      case kRequireSandbox: options.requireSandbox = true; break;
      case kQuick: options.mode.quick = true; break;
      case kAllCodecs: options.mode.everyCodec = true; break;
      case kStrict: options.mode.strict = true; break;
      case kDb:
        if (*optarg == '\0') return UsageError("--db needs a file name, not an empty one");
        options.db = optarg;
        break;
      case kSkipChecked:
        if (!SetDays(optarg, options.skipCheckedDays)) return UsageError(DaysError(optarg));
        break;
      case kShowErrors: options.showErrors = true; break;
      case kShowChanges: options.showChanges = true; break;
      case kFailOnAudioChange: options.failOnAudioChange = true; break;
      case kCoverage:
        if (!SetDays(optarg, options.coverageDays)) return UsageError(DaysError(optarg));
        break;
      case kBudget:
        options.budget = ParseDuration(optarg);
        if (!options.budget) {
          return UsageError("'" + std::string(optarg) +
                            "' is not a duration such as 90s, 45m or 2h");
        }
        break;
      case kFilesFrom: options.filesFrom.emplace_back(optarg); break;
      case '0': options.nulSeparated = true; break;
      case kSalvage:
        if (*optarg == '\0') return UsageError("--salvage needs a folder, not an empty name");
        options.salvageDir = optarg;
        break;
      case kOtherCopies:
        if (*optarg == '\0') return UsageError("--other-copies needs a folder, not an empty name");
        options.otherCopies = optarg;
        break;
      case kForce: options.force = true; break;
      case 'h': std::fputs(kUsage, stdout); return kExitClean;
      case 'V': std::printf("harrowbit-cli %s\n", HARROWBIT_VERSION); return kExitClean;
      case ':': return UsageError("option '" + std::string(argv[optind - 1]) + "' needs a value");
      default:
        return UsageError("unknown option '" +
                          (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                                       : std::string(argv[optind - 1])) +
                          "'");
    }
  }
  for (int i = optind; i < argc; ++i) options.paths.emplace_back(argv[i]);
  const bool needsDb = options.skipCheckedDays || options.showErrors || options.coverageDays ||
                       options.showChanges || options.failOnAudioChange;
  if (needsDb && options.db.empty()) {
    return UsageError(
        "--skip-checked, --show-errors, --show-changes, --fail-on-audio-change and --coverage "
        "need --db FILE");
  }
  if (int{options.showErrors} + int{options.showChanges} + int{options.coverageDays.has_value()} >
      1) {
    return UsageError(
        "--show-errors, --show-changes and --coverage are separate questions: ask one");
  }
  if (options.requireSandbox && options.inProcess) {
    return UsageError("--in-process decodes unconfined: it cannot go with --require-sandbox");
  }
  if (options.nulSeparated && options.filesFrom.empty()) {
    return UsageError("-0 goes with --files-from");
  }
  if (options.coverageDays && options.paths.empty()) return UsageError("--coverage needs a PATH");
  if ((!options.otherCopies.empty() || options.force) && options.salvageDir.empty())
    return UsageError("--other-copies and --force go with --salvage DIR");
  if (!options.salvageDir.empty() &&
      (options.showErrors || options.showChanges || options.coverageDays)) {
    return UsageError(
        "--salvage repairs what a check finds: not with --show-errors, --show-changes or "
        "--coverage");
  }
  if (options.paths.empty() && options.filesFrom.empty() && !options.showErrors &&
      !options.showChanges) {
    return UsageError("no PATH given");
  }
  if (options.jobs == 0) {
    options.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }
  if (options.inProcess) options.jobs = 1;
  return -1;
}
