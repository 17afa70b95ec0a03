// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/terminal_window.h"
#include "filetest/path_text.h"
#include "scan/file_collection.h"
#include "scan/isolated_tester.h"
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
    "in any letter case. Files are tested in the order they are found.\n"
    "\n"
    "      --in-process  decode inside this process: a little faster, but a file\n"
    "                    that crashes the decoder ends the whole check\n"
    "  -h, --help        show this help and exit\n"
    "  -V, --version     show the version and exit\n"
    "\n"
    "Exit status: 0 if every file decoded cleanly, 1 if any file has an error,\n"
    "2 for bad usage or a PATH that does not exist, 130 when interrupted.\n";

// Counts the files that get an error verdict, as the report does, for the exit status.
class CVerdictCounter final : public IFileTester {
 public:
  explicit CVerdictCounter(std::unique_ptr<IFileTester> inner, std::atomic<int>& errors)
      : m_inner(std::move(inner)), m_errors(errors) {}
  bool Open(const std::filesystem::path& path) override {
    const bool opened = m_inner->Open(path);
    if (!opened) ++m_errors;
    return opened;
  }
  int DecodeStep() override {
    const int r = m_inner->DecodeStep();
    if (r < 0) ++m_errors;
    return r;
  }
  const std::string& ErrorText() const override { return m_inner->ErrorText(); }
  int64_t TotalSamples() const override { return m_inner->TotalSamples(); }
  double PositionSeconds() const override { return m_inner->PositionSeconds(); }
  double TotalSeconds() const override { return m_inner->TotalSeconds(); }

 private:
  std::unique_ptr<IFileTester> m_inner;
  std::atomic<int>& m_errors;
};

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
  std::vector<std::string> paths;
  bool inProcess = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      paths.emplace_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--in-process") {
      inProcess = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitClean;
    } else if (arg == "-V" || arg == "--version") {
      std::printf("harrowbit-cli %s\n", HARROWBIT_VERSION);
      return kExitClean;
    } else {
      std::fprintf(stderr, "harrowbit-cli: unknown option '%s'\n%s", argv[i], kUsage);
      return kExitUsage;
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "harrowbit-cli: no PATH given\n%s", kUsage);
    return kExitUsage;
  }

  CScanState state;
  bool pathMissing = false;
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      const int err = errno;
      std::fprintf(stderr, "harrowbit-cli: %s: %s\n", DisplayText(path).c_str(), std::strerror(err));
      pathMissing = true;
    }
    AddGivenPath(state.m_fileList, path);
  }

  CTerminalWindow window(stdout, stderr, ::isatty(STDERR_FILENO) == 1);
  std::atomic<int> errors{0};
  const TesterFactory inner = inProcess ? InProcessTesterFactory() : IsolatedTesterFactory();
  const TesterFactory counting = [&] {
    return std::make_unique<CVerdictCounter>(inner(), errors);
  };
  int signal = 0;
  {
    CInterruptWatcher watcher(state);
    state.m_bKeepGoing.store(1);
    ScanThreadProc(state, window, counting);
    signal = watcher.Signal();
  }
  window.Finish();

  if (signal != 0) return 128 + signal;
  if (pathMissing) return kExitUsage;
  return errors.load() > 0 ? kExitDamaged : kExitClean;
}
