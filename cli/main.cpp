// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cli/database_queries.h"
#include "cli/interrupt_watcher.h"
#include "cli/json_formatter.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/path_list.h"
#include "cli/progress_line.h"
#include "cli/remembered_verdicts.h"
#include "cli/text_formatter.h"
#include "db/db_report.h"
#include "db/results_db.h"
#include "decode/helper_server.h"
#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "filetest/library_version.h"
#include "scan/file_collection.h"
#include "scan/scan_worker.h"
#include "text/json_text.h"
#include "text/path_text.h"

namespace {

void Complain(const std::string& path, const std::string& what) {
  std::fprintf(stderr, "harrowbit-cli: %s: %s\n", DisplayText(path).c_str(), what.c_str());
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

// Fills the list by the rule for one given path, saying on standard error what it could
// not use. False when something named was not checked.
class CListBuilder {
 public:
  CListBuilder(CFileList& list, COutput& out, bool json)
      : m_list(list), m_out(out), m_bJson(json) {}

  void Add(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      Trouble(path, std::strerror(errno));
      return;
    }
    if (!S_ISDIR(st.st_mode) && !IsOggFile(path)) {
      Trouble(path, "not checked: neither a folder nor a file whose name ends in \".ogg\"");
      return;
    }
    AddGivenPath(m_list, path, [this](const std::filesystem::path& folder, std::error_code error) {
      Trouble(folder.native(), error.message());
    });
  }
  bool AllUsed() const { return m_bAllUsed; }

 private:
  void Trouble(const std::string& path, const std::string& what) {
    Complain(path, what);
    m_bAllUsed = false;
    if (m_bJson) {
      m_out.Write("{\"type\":\"unchecked\",\"path\":" + JsonQuote(path) +
                  ",\"reason\":" + JsonQuote(what) + "}\n");
    }
  }

  CFileList& m_list;
  COutput& m_out;
  bool m_bJson;
  bool m_bAllUsed = true;
};

// Hears the scan's results and passes them on: to the formatter, the progress line, the
// results database, and what the exit status needs.
class CResults final : public IScanListener {
 public:
  CResults(COutput& out, IResultFormatter& formatter, CProgressLine* progress,
           CRememberedVerdicts* remembered)
      : m_out(out), m_formatter(formatter), m_progress(progress), m_remembered(remembered) {}

  // Once `budget` has passed, no new file is begun.
  void SetBudget(CScanState& state, std::chrono::milliseconds budget) {
    m_state = &state;
    m_budget = budget;
    if (budget.count() == 0) StopAfterFile();
  }

  void OnFileBegun(int number, const std::filesystem::path& path) override {
    // Decoding may take a while: what is known goes out first.
    const auto index = static_cast<std::size_t>(number - 1);
    if (m_remembered == nullptr || !m_remembered->Decide(index, path).reuse) m_out.Flush();
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
    ResultNotes notes;
    if (m_remembered != nullptr) {
      const auto index = static_cast<std::size_t>(result.number - 1);
      if (const auto* reused = m_remembered->Reused(index)) {
        notes.recordedAtMs = reused->last->checkedAtMs;
        if (m_progress != nullptr) m_progress->CountRemembered();
      } else {
        notes.wasOkAtMs = m_remembered->Record(index, result);
      }
      m_remembered->Forget(index);
    }
    m_formatter.File(result, notes);
    if (m_progress != nullptr) m_progress->OnFileEnded(result);
    if (m_state != nullptr && std::chrono::steady_clock::now() - m_start >= m_budget) {
      StopAfterFile();
    }
  }
  void OnScanEnded(const ScanSummary& summary) override {
    if (m_progress != nullptr) m_progress->OnScanEnded(summary);
    m_summary = summary;
    m_strSummaryLine = summary.line;
    m_summary.line = {};
  }
  void WriteSummary(RunFacts run) {
    ScanSummary s = m_summary;
    s.line = m_strSummaryLine;
    run.budgetSpent = BudgetSpent();
    m_formatter.Summary(s, run);
  }

  int Errors() const { return m_summary.errors; }
  bool BudgetSpent() const {
    return m_bBudgetSpent && static_cast<std::size_t>(m_summary.files) < m_summary.listed;
  }
  const std::string& RunFault() const { return m_strRunFault; }
  const std::string& StoppedAt() const { return m_strStoppedAt; }

 private:
  void StopAfterFile() {
    m_bBudgetSpent = true;
    m_state->RequestStopAfterFile();
  }

  COutput& m_out;
  IResultFormatter& m_formatter;
  CProgressLine* m_progress;
  CRememberedVerdicts* m_remembered;
  CScanState* m_state = nullptr;
  std::chrono::milliseconds m_budget{0};
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  bool m_bBudgetSpent = false;
  ScanSummary m_summary;
  std::string m_strSummaryLine;
  std::string m_strRunFault;
  std::string m_strStoppedAt;
};

TesterFactory MakeTesters(const CliOptions& options, const CScanState& state,
                          CRememberedVerdicts* remembered) {
  if (options.inProcess) return InProcessTesterFactory(options.quick);
  const DecoderOptions decoder{.cancelFd = state.CancelFd(), .quick = options.quick};
  TesterFactory inner;
  if (options.jobs == 1) {
    inner = IsolatedTesterFactory(CurrentExecutable(), decoder);
  } else {
    CParallelDecoder::Wanted wanted;
    if (remembered != nullptr) {
      wanted = [remembered](std::size_t index, const std::filesystem::path& path) {
        return !remembered->Decide(index, path).reuse;
      };
    }
    inner = [&state, jobs = options.jobs, decoder, wanted] {
      return std::make_unique<CVerdictReplay>(std::make_unique<CParallelDecoder>(
          state.m_fileList, jobs, CurrentExecutable(), decoder, wanted));
    };
  }
  if (remembered == nullptr) return inner;
  return [remembered, inner] { return std::make_unique<CRememberingTester>(*remembered, inner()); };
}

// Every list, in the order given; one that cannot be read does not keep the others out.
bool AddListedPaths(const CliOptions& options, CListBuilder& builder) {
  const auto separator =
      options.nulSeparated ? PathListSeparator::kNul : PathListSeparator::kNewline;
  bool allRead = true;
  for (const std::string& list : options.filesFrom) {
    std::vector<std::string> entries;
    std::string error;
    if (!ReadPathList(list, separator, entries, error)) {
      std::fprintf(stderr, "harrowbit-cli: %s\n", error.c_str());
      allRead = false;
      continue;
    }
    for (const std::string& entry : entries) builder.Add(entry);
  }
  return allRead;
}

void SayNewlyDamaged(const CRememberedVerdicts& remembered) {
  const auto& newly = remembered.Newly();
  if (newly.empty()) return;
  std::fprintf(stderr, "harrowbit-cli: newly damaged since its last check: %zu files\n",
               newly.size());
  for (const auto& n : newly) {
    std::fprintf(stderr, "  %s (OK at %s)\n", DisplayText(n.path.native()).c_str(),
                 CheckedAtText(n.wasCheckedAtMs).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  CliOptions options;
  if (const int status = ParseOptions(argc, argv, options); status >= 0) return status;
  // Write errors come back as EPIPE and are answered as a SIGPIPE would be; a helper that
  // died must not kill the scan through its pipe either.
  std::signal(SIGPIPE, SIG_IGN);

  CScanState state;
  COutput out(stdout, [&state] { state.RequestCancel(); });

  std::optional<CResultsDb> db;
  if (!options.db.empty()) {
    db.emplace();
    const bool asking = options.showErrors || options.coverageDays;
    if (!db->Open(options.db, asking ? DbMode::kQuery : DbMode::kRecord)) {
      std::fprintf(stderr, "harrowbit-cli: %s\n", db->ErrorText().c_str());
      return kExitTrouble;
    }
    if (asking) return AskTheDatabase(options, *db, out);
  }

  if (options.quick && !QuickCheckSupported()) {
    std::fprintf(stderr, "harrowbit-cli: --quick is not verified with %s: checking in full\n",
                 VorbisLibraryVersion().c_str());
    options.quick = false;
  }
  if (!options.inProcess) {
    const int allowed = JobsTheDescriptorsAllow();
    if (allowed < 1) {
      std::fprintf(stderr,
                   "harrowbit-cli: the limit on open files is too low to start a decoder "
                   "helper (raise it with ulimit -n)\n");
      return kExitTrouble;
    }
    if (options.jobs > allowed) {
      std::fprintf(stderr,
                   "harrowbit-cli: -j %d lowered to %d: the limit on open files allows "
                   "no more\n",
                   options.jobs, allowed);
      options.jobs = allowed;
    }
  }

  CListBuilder builder(state.m_fileList, out, options.json);
  for (const std::string& path : options.paths) builder.Add(path);
  const bool listRead = options.filesFrom.empty() || AddListedPaths(options, builder);

  std::unique_ptr<IResultFormatter> formatter;
  if (options.json) {
    formatter = std::make_unique<CJsonFormatter>(out, options.errorsOnly);
  } else {
    formatter = std::make_unique<CTextFormatter>(out, options.errorsOnly);
  }
  const CheckKind kind = options.quick ? CheckKind::kQuick : CheckKind::kFull;
  std::optional<CRememberedVerdicts> remembered;
  if (db) remembered.emplace(*db, kind, options.skipCheckedDays);
  CRememberedVerdicts* memory = remembered ? &*remembered : nullptr;

  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  CProgressLine progress(stderr, state.m_fileList);
  CResults results(out, *formatter, showProgress ? &progress : nullptr, memory);
  CSilentWindow silent;
  IScanWindow& window = showProgress ? static_cast<IScanWindow&>(progress) : silent;

  int signal = 0;
  {
    CInterruptWatcher watcher(state);
    if (!watcher.Error().empty()) {
      // The same limit keeps any decoder helper from starting: nothing can be checked.
      std::fprintf(stderr, "harrowbit-cli: cannot start a thread: %s\n", watcher.Error().c_str());
      return kExitTrouble;
    }
    state.PrepareStart();
    if (options.budget) results.SetBudget(state, *options.budget);
    ScanThreadProc(state, window, MakeTesters(options, state, memory), &results);
    signal = watcher.Signal();
  }
  results.WriteSummary({.cancelled = signal != 0, .check = options.quick ? "quick" : "full"});
  out.Flush();

  bool trouble = !builder.AllUsed() || !listRead;
  if (!results.RunFault().empty()) {
    Complain(results.StoppedAt(), "not checked, and the check stopped here: " + results.RunFault());
    trouble = true;
  }
  if (remembered) SayNewlyDamaged(*remembered);
  if (db) {
    db->Close();
    if (db->Unrecorded() > 0) {
      std::fprintf(stderr, "harrowbit-cli: %s; %lld verdicts were not recorded\n",
                   db->ErrorText().c_str(), static_cast<long long>(db->Unrecorded()));
      trouble = true;
    }
  }
  if (out.Error() == EPIPE) return 128 + SIGPIPE;
  if (out.Error() != 0) {
    std::fprintf(stderr, "harrowbit-cli: cannot write the results: %s\n",
                 std::strerror(out.Error()));
    return kExitTrouble;
  }
  if (signal != 0) return 128 + signal;
  if (trouble) return kExitTrouble;
  return results.Errors() > 0 ? kExitDamaged : kExitClean;
}
