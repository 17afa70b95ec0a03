// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/file_results.h"
#include "cli/terminal_window.h"
#include "text/path_text.h"
#include "scan/file_collection.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_tester.h"
#include "scan/scan_worker.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitDamaged = 1;
constexpr int kExitUsage = 2;

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

struct Options {
  std::vector<std::string> paths;
  int jobs = 0;
  bool errorsOnly = false;
  bool json = false;
  bool inProcess = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "harrowbit-cli: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

bool ParseJobs(std::string_view text, int& jobs) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), jobs);
  return ec == std::errc() && end == text.data() + text.size() && jobs >= 1 && jobs <= 1024;
}

// Returns -1 to go on, or the exit status when the options already settle it.
int ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      options.paths.emplace_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-j" || arg == "--jobs" || arg.starts_with("--jobs=") ||
               (arg.starts_with("-j") && arg.size() > 2)) {
      std::string_view value;
      if (arg.starts_with("--jobs=")) value = arg.substr(7);
      else if (arg.starts_with("-j") && arg.size() > 2) value = arg.substr(2);
      else if (i + 1 < argc) value = argv[++i];
      else return UsageError("option '" + std::string(arg) + "' needs a number");
      if (!ParseJobs(value, options.jobs)) {
        return UsageError("'" + std::string(value) + "' is not a number of jobs from 1 to 1024");
      }
    } else if (arg == "-q" || arg == "--errors-only") {
      options.errorsOnly = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--in-process") {
      options.inProcess = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitClean;
    } else if (arg == "-V" || arg == "--version") {
      std::printf("harrowbit-cli %s\n", HARROWBIT_VERSION);
      return kExitClean;
    } else {
      return UsageError("unknown option '" + std::string(arg) + "'");
    }
  }
  if (options.paths.empty()) return UsageError("no PATH given");
  if (options.jobs == 0) options.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (options.inProcess) options.jobs = 1;
  return -1;
}

// Ctrl-C asks the scan to stop as the window's Cancel does; the summary still follows.
// A second one ends the program at once. Signals are taken by one thread with sigwait,
// so the cancel may use the scan state's ordinary locks.
class CInterruptWatcher {
 public:
  explicit CInterruptWatcher(CScanState& state) : m_state(state) {
    sigemptyset(&m_signals);
    sigaddset(&m_signals, SIGINT);
    sigaddset(&m_signals, SIGTERM);
    sigaddset(&m_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
    m_thread = std::thread([this] { Run(); });
  }
  ~CInterruptWatcher() {
    pthread_kill(m_thread.native_handle(), SIGUSR1);
    m_thread.join();
  }
  int Signal() const { return m_signal.load(); }

 private:
  void Run() {
    for (;;) {
      int sig = 0;
      if (sigwait(&m_signals, &sig) != 0) continue;
      if (sig == SIGUSR1) return;
      if (m_signal.exchange(sig) != 0) _exit(128 + sig);
      m_state.m_hRunEvent.Set();
      m_state.m_bKeepGoing.store(0);
    }
  }

  CScanState& m_state;
  sigset_t m_signals;
  std::atomic<int> m_signal{0};
  std::thread m_thread;
};

}  // namespace

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  Options options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;

  CScanState state;
  bool pathMissing = false;
  for (const std::string& path : options.paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      const int err = errno;
      std::fprintf(stderr, "harrowbit-cli: %s: %s\n", DisplayText(path).c_str(), std::strerror(err));
      pathMissing = true;
    }
    AddGivenPath(state.m_fileList, path);
  }

  ScanCounts counts;
  TerminalOptions terminal;
  terminal.printReport = !options.json;
  terminal.errorsOnly = options.errorsOnly;
  terminal.showProgress = ::isatty(STDERR_FILENO) == 1;
  CTerminalWindow window(stdout, stderr, terminal, counts, state.m_fileList);

  CResultTap::Sink sink;
  if (options.json) {
    sink = [&](const FileResult& r) {
      if (options.errorsOnly && r.verdict != FileResult::Verdict::kError) return;
      const std::string line = JsonLine(r);
      std::fwrite(line.data(), 1, line.size(), stdout);
    };
  }
  const TesterFactory testers = [&]() -> std::unique_ptr<IFileTester> {
    std::unique_ptr<IFileTester> inner;
    if (options.inProcess) inner = std::make_unique<CInProcessTester>();
    else if (options.jobs == 1) inner = std::make_unique<CIsolatedTester>();
    else inner = std::make_unique<CParallelTester>(state.m_fileList, options.jobs);
    return std::make_unique<CResultTap>(std::move(inner), counts, sink);
  };

  int signal = 0;
  {
    CInterruptWatcher watcher(state);
    state.m_bKeepGoing.store(1);
    ScanThreadProc(state, window, testers);
    signal = watcher.Signal();
  }
  window.Finish();
  if (options.json) {
    const std::string summary = JsonSummary(counts, state.m_fileList.Count(), signal != 0);
    std::fwrite(summary.data(), 1, summary.size(), stdout);
  }
  std::fflush(stdout);

  if (signal != 0) return 128 + signal;
  if (pathMissing) return kExitUsage;
  return counts.errors > 0 ? kExitDamaged : kExitClean;
}
