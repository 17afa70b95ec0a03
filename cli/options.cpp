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
    "                      faster, but a file that crashes the decoder ends the check\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the version and exit\n"
    "\n"
    "Exit status: 0 if every file decoded cleanly, 1 if any file has an error,\n"
    "2 for bad usage or a PATH that does not exist, 130 when interrupted.\n";

enum LongOnly { kJson = 256, kInProcess };

const option kLongOptions[] = {
    {"jobs", required_argument, nullptr, 'j'},
    {"errors-only", no_argument, nullptr, 'q'},
    {"json", no_argument, nullptr, kJson},
    {"in-process", no_argument, nullptr, kInProcess},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "harrowbit-cli: %s\n%s", message.c_str(), kUsage);
  return kExitTrouble;
}

bool ParseJobs(std::string_view text, int& jobs) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return ec == std::errc() && end == text.data() + text.size() && jobs >= 1 && jobs <= 1024;
}

}  // namespace

int ParseOptions(int argc, char** argv, CliOptions& options) {
  opterr = 0;  // our own messages, with the usage after them
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, ":j:qhV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'j':
        if (!ParseJobs(optarg, options.jobs)) {
          return UsageError("'" + std::string(optarg) + "' is not a number of jobs from 1 to 1024");
        }
        break;
      case 'q':
        options.errorsOnly = true;
        break;
      case kJson:
        options.json = true;
        break;
      case kInProcess:
        options.inProcess = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return kExitClean;
      case 'V':
        std::printf("harrowbit-cli %s\n", HARROWBIT_VERSION);
        return kExitClean;
      case ':':
        return UsageError("option '" + std::string(argv[optind - 1]) + "' needs a value");
      default:
        return UsageError("unknown option '" +
                          (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                                       : std::string(argv[optind - 1])) +
                          "'");
    }
  }
  for (int i = optind; i < argc; ++i) options.paths.emplace_back(argv[i]);
  if (options.paths.empty()) return UsageError("no PATH given");
  if (options.jobs == 0) {
    options.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }
  if (options.inProcess) options.jobs = 1;
  return -1;
}
