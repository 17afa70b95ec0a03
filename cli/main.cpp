// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/interrupt_watcher.h"
#include "cli/json_formatter.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/progress_line.h"
#include "cli/text_formatter.h"
#include "decode/helper_server.h"
#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "scan/file_collection.h"
#include "scan/scan_worker.h"
#include "text/path_text.h"

namespace {

void Complain(const std::string& path, const std::string& what) {
  std::fprintf(stderr, "harrowbit-cli: %s: %s\n", DisplayText(path).c_str(), what.c_str());
}

// Fills the list by the rule for one given path, saying on standard error what it could
// not use. Returns false when a PATH was not checked.
bool AddPaths(const CliOptions& options, CFileList& list) {
  bool allUsed = true;
  for (const std::string& path : options.paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      Complain(path, std::strerror(errno));
      allUsed = false;
    } else if (!S_ISDIR(st.st_mode) && !IsOggFile(path)) {
      Complain(path, "not checked: neither a folder nor a file whose name ends in \".ogg\"");
      allUsed = false;
    }
    AddGivenPath(list, path);
  }
  return allUsed;
}

// A helper holds two descriptors while it runs and a few more while it starts; the rest
// of the process needs some of its own.
int JobsTheDescriptorsAllow() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 1024;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
  }
  constexpr rlim_t kOwnUse = 10;
  constexpr rlim_t kStarting = 6;
  if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur > 1024 * 2 + kOwnUse + kStarting) {
    return 1024;
  }
  if (files.rlim_cur < kOwnUse + kStarting + 2) return 0;
  return static_cast<int>((files.rlim_cur - kOwnUse - kStarting) / 2);
}

// Hears the scan's results and passes them on: to the formatter, the progress line, and
// what the exit status needs.
class CResults final : public IScanListener {
 public:
  CResults(IResultFormatter& formatter, CProgressLine* progress)
      : m_formatter(formatter), m_progress(progress) {}

  void OnFileBegun(int number, const std::filesystem::path& path) override {
    if (m_progress != nullptr) m_progress->OnFileBegun(number, path);
  }
  void OnFileStep(const FileVerdict& soFar) override {
    if (m_progress != nullptr) m_progress->OnFileStep(soFar);
  }
  void OnFileEnded(const FileResult& result) override {
    if (m_progress != nullptr) m_progress->Clear();
    if (result.verdict.status == FileVerdict::Status::kNotChecked) {
      m_strRunFault = result.verdict.reason;
      m_strStoppedAt = result.path.native();
    }
    m_formatter.File(result);
    if (m_progress != nullptr) m_progress->OnFileEnded(result);
  }
  void OnScanEnded(const ScanSummary& summary) override {
    if (m_progress != nullptr) m_progress->OnScanEnded(summary);
    m_summary = summary;
    m_summary.line = {};
    m_strSummaryLine = summary.line;
  }
  void WriteSummary(const RunFacts& run) {
    ScanSummary s = m_summary;
    s.line = m_strSummaryLine;
    m_formatter.Summary(s, run);
  }

  int Errors() const { return m_summary.errors; }
  const std::string& RunFault() const { return m_strRunFault; }
  const std::string& StoppedAt() const { return m_strStoppedAt; }

 private:
  IResultFormatter& m_formatter;
  CProgressLine* m_progress;
  ScanSummary m_summary;
  std::string m_strSummaryLine;
  std::string m_strRunFault;
  std::string m_strStoppedAt;
};

TesterFactory MakeTesters(const CliOptions& options, const CScanState& state) {
  if (options.inProcess) return InProcessTesterFactory();
  const DecoderLimits limits{.cancelFd = state.CancelFd()};
  if (options.jobs == 1) return IsolatedTesterFactory(CurrentExecutable(), limits);
  return [&state, jobs = options.jobs, limits] {
    return std::make_unique<CVerdictReplay>(std::make_unique<CParallelDecoder>(
        state.m_fileList, jobs, CurrentExecutable(), limits));
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  CliOptions options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
  if (!options.inProcess) {
    const int allowed = JobsTheDescriptorsAllow();
    if (allowed < 1) {
      std::fprintf(stderr, "harrowbit-cli: the limit on open files is too low to start a decoder "
                           "helper (raise it with ulimit -n)\n");
      return kExitTrouble;
    }
    if (options.jobs > allowed) {
      std::fprintf(stderr, "harrowbit-cli: -j %d lowered to %d: the limit on open files allows "
                           "no more\n", options.jobs, allowed);
      options.jobs = allowed;
    }
  }

  CScanState state;
  const bool allPathsUsed = AddPaths(options, state.m_fileList);

  COutput out(stdout, [&state] { state.RequestCancel(); });
  std::unique_ptr<IResultFormatter> formatter;
  if (options.json) {
    formatter = std::make_unique<CJsonFormatter>(out, options.errorsOnly);
  } else {
    formatter = std::make_unique<CTextFormatter>(out, options.errorsOnly);
  }
  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  CProgressLine progress(stderr, state.m_fileList);
  CResults results(*formatter, showProgress ? &progress : nullptr);
  CSilentWindow silent;
  IScanWindow& window = showProgress ? static_cast<IScanWindow&>(progress) : silent;

  int signal = 0;
  {
    CInterruptWatcher watcher(state);
    state.PrepareStart();
    ScanThreadProc(state, window, MakeTesters(options, state), &results);
    signal = watcher.Signal();
  }
  results.WriteSummary({signal != 0});

  if (!results.RunFault().empty()) {
    Complain(results.StoppedAt(), "not checked, and the check stopped here: " + results.RunFault());
  }
  if (out.Error() == EPIPE) return 128 + SIGPIPE;
  if (out.Error() != 0) {
    std::fprintf(stderr, "harrowbit-cli: cannot write the results: %s\n", std::strerror(out.Error()));
    return kExitTrouble;
  }
  if (signal != 0) return 128 + signal;
  if (!allPathsUsed || !results.RunFault().empty()) return kExitTrouble;
  return results.Errors() > 0 ? kExitDamaged : kExitClean;
}
