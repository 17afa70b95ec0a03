// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <cerrno>
#include <chrono>
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
#include "platform/file_status.h"
#include "platform/path_bytes.h"
#include "platform/program.h"
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
  const int64_t files = RaisedOpenFileLimit();
  constexpr int64_t kOwnUse = 10;
  constexpr int64_t kStarting = 6;
  if (files < 0 || files > 1024 * 2 + kOwnUse + kStarting) return 1024;
  if (files < kOwnUse + kStarting + 2) return 0;
  return static_cast<int>((files - kOwnUse - kStarting) / 2);
}

// Fills the list by the rule for one given path, saying on standard error what it could
// not use. False when something named was not checked.
class CListBuilder {
 public:
  CListBuilder(CFileList& list, IResultFormatter& formatter, OggNames names = OggNames::kOggOnly)
      : m_list(list), m_formatter(formatter), m_names(names) {}

  void Add(const std::string& path) {
    // Each path is looked at once: under Wine a look costs a millisecond.
    FileStatus::Kind kind = FileStatus::Kind::kOther;
    std::error_code lookError;
    if (!KindOf(path, kind, lookError)) {
      Trouble(path, lookError.message());
      return;
    }
    if (kind != FileStatus::Kind::kFolder && !IsOggFile(path, m_names)) {
      Trouble(path, m_names == OggNames::kOggOnly
                        ? "not checked: neither a folder nor a file whose name ends in \".ogg\""
                        : "not checked: neither a folder nor a file whose name ends in \".ogg\", "
                          "\".oga\" or \".opus\"");
      return;
    }
    if (kind != FileStatus::Kind::kFolder) {
      m_list.Append(PathFromUtf8(path));
      return;
    }
    ScanFolder(
        m_list, PathFromUtf8(path),
        [this](const std::filesystem::path& folder, std::error_code error) {
          Trouble(PathToUtf8(folder), error.message());
        },
        m_names);
  }
  bool AllUsed() const { return m_bAllUsed; }

 private:
  void Trouble(const std::string& path, const std::string& what) {
    Complain(path, what);
    m_bAllUsed = false;
    m_formatter.Unchecked(path, what);
  }

  CFileList& m_list;
  IResultFormatter& m_formatter;
  bool m_bAllUsed = true;
  OggNames m_names;
};

// Passes the scan's results on to several listeners, in order.
class CFanOut final : public IScanListener {
 public:
  explicit CFanOut(std::vector<IScanListener*> listeners) : m_listeners(std::move(listeners)) {}
  void OnFileBegun(int number, const ListedFile& file) override {
    for (auto* l : m_listeners) l->OnFileBegun(number, file);
  }
  void OnFileStep(const FileVerdict& soFar) override {
    for (auto* l : m_listeners) l->OnFileStep(soFar);
  }
  void OnFileEnded(const FileResult& result) override {
    for (auto* l : m_listeners) l->OnFileEnded(result);
  }
  void OnScanEnded(const ScanSummary& summary) override {
    for (auto* l : m_listeners) l->OnScanEnded(summary);
  }

 private:
  std::vector<IScanListener*> m_listeners;
};

// Once the time budget has passed, no new file is begun: the file in hand is finished.
class CTimeBudget final : public IScanListener {
 public:
  // After the scan state was prepared for the start: a budget of nothing begins no file.
  CTimeBudget(CScanState& state, std::chrono::milliseconds budget)
      : m_state(state), m_budget(budget) {
    if (budget.count() <= 0) StopAfterFile();
  }
  void OnFileEnded(const FileResult&) override {
    if (std::chrono::steady_clock::now() - m_start >= m_budget) StopAfterFile();
  }
  void OnScanEnded(const ScanSummary& summary) override {
    m_bLeftFiles = static_cast<std::size_t>(summary.files) < summary.listed;
  }
  // The budget, not the end of the list, ended the check.
  bool Spent() const { return m_bStopped && m_bLeftFiles; }

 private:
  void StopAfterFile() {
    m_bStopped = true;
    m_state.RequestStopAfterFile();
  }

  CScanState& m_state;
  std::chrono::milliseconds m_budget;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  bool m_bStopped = false;
  bool m_bLeftFiles = false;
};

// Writes each result out, with what the results database adds to it, and keeps what the
// exit status needs.
class CResults final : public IScanListener {
 public:
  CResults(COutput& out, IResultFormatter& formatter, CProgressLine* progress,
           CRememberedVerdicts* remembered)
      : m_out(out), m_formatter(formatter), m_progress(progress), m_remembered(remembered) {}

  void OnFileBegun(int, const ListedFile& file) override {
    // Decoding may take a while: what is known goes out first.
    if (m_remembered == nullptr || !m_remembered->Decide(file.index, file.path).reuse) {
      m_out.Flush();
    }
  }
  void OnFileEnded(const FileResult& result) override {
    if (m_progress != nullptr) m_progress->Clear();
    const FileVerdict& v = result.verdict;
    // A codec Harrowbit does not check is what the file is, not a fault of the run: its
    // line in the report says so, and the exit status is left as it is.
    if (v.status == FileVerdict::Status::kNotChecked && !v.unsupported) {
      if (v.stopsScan) {
        m_strRunFault = v.reason;
        m_strStoppedAt = PathToUtf8(result.path);
      } else {
        Complain(PathToUtf8(result.path), "not checked: " + v.reason);
        m_bFilesNotChecked = true;
      }
    }
    ResultNotes notes;
    if (m_remembered != nullptr) {
      if (const auto* reused = m_remembered->Reused(result.index)) {
        notes.recordedAtMs = reused->stands->checkedAtMs;
      } else {
        notes.wasOkAtMs = m_remembered->Record(result.index, result);
      }
      m_remembered->Forget(result.index);
    }
    m_formatter.File(result, notes);
  }
  void OnScanEnded(const ScanSummary& summary) override {
    m_summary = summary;
    m_strSummaryLine = summary.line;
    m_summary.line = {};
  }
  void WriteSummary(const RunFacts& run) {
    m_summary.line = m_strSummaryLine;
    m_formatter.Summary(m_summary, run);
  }

  int Errors() const { return m_summary.errors; }
  // Files that break a format rule (--strict).
  std::size_t Warned() const { return m_summary.warned.size(); }
  // A file a fault of the run kept from being checked, while the scan went on.
  bool FilesNotChecked() const { return m_bFilesNotChecked; }
  const std::string& RunFault() const { return m_strRunFault; }
  const std::string& StoppedAt() const { return m_strStoppedAt; }

 private:
  COutput& m_out;
  IResultFormatter& m_formatter;
  CProgressLine* m_progress;
  CRememberedVerdicts* m_remembered;
  ScanSummary m_summary;
  std::string m_strSummaryLine;
  std::string m_strRunFault;
  std::string m_strStoppedAt;
  bool m_bFilesNotChecked = false;
};

// What decides the exit status, strongest first.
struct RunOutcome {
  int outputError = 0;  // errno of the first failed write
  int signal = 0;
  bool trouble = false;  // something named or found was not checked, or not recorded
  bool damage = false;
};

int ExitStatus(const RunOutcome& run) {
  if (run.outputError == EPIPE) return BrokenPipeExitStatus();
  if (run.outputError != 0) {
    std::fprintf(stderr, "harrowbit-cli: cannot write the results: %s\n",
                 std::strerror(run.outputError));
    return kExitTrouble;
  }
  if (run.signal != 0) return InterruptedExitStatus(run.signal);
  if (run.trouble) return kExitTrouble;
  return run.damage ? kExitDamaged : kExitClean;
}

TesterFactory MakeTesters(const CliOptions& options, const CScanState& state,
                          CRememberedVerdicts* remembered) {
  if (options.inProcess) {
    return InProcessTesterFactory(options.mode);
  }
  const DecoderOptions decoder{.cancelFd = state.CancelFd(), .mode = options.mode};
  TesterFactory inner;
  if (options.jobs == 1) {
    inner = IsolatedTesterFactory(CurrentExecutable(), decoder);
  } else {
    CParallelDecoder::Wanted wanted;
    if (remembered != nullptr) {
      wanted = [remembered](const ListedFile& file) {
        return !remembered->Decide(file.index, file.path).reuse;
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
  const auto separator = options.nulSeparated ? PathListSeparator::kNul : kLineSeparator;
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
    std::fprintf(stderr, "  %s (OK at %s)\n", DisplayText(PathToUtf8(n.path)).c_str(),
                 CheckedAtText(n.wasCheckedAtMs).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  CliOptions options;
  std::vector<std::string> arguments = ProgramArguments(argc, argv);
  std::vector<char*> utf8Argv;
  for (std::string& argument : arguments) utf8Argv.push_back(argument.data());
  utf8Argv.push_back(nullptr);
  if (const int status = ParseOptions(static_cast<int>(arguments.size()), utf8Argv.data(), options);
      status >= 0)
    return status;
  // Write errors come back as EPIPE and are answered as a SIGPIPE would be; a helper that
  // died must not kill the scan through its pipe either.
  PrepareStandardStreams();

  CScanState state;
  CInterruptWatcher watcher(state);
  if (!watcher.Error().empty()) {
    // The same limit keeps any decoder helper from starting: nothing can be checked.
    std::fprintf(stderr, "harrowbit-cli: cannot start a thread: %s\n", watcher.Error().c_str());
    return kExitTrouble;
  }
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
    // A second Ctrl-C ends the program at once, but what it reported is kept.
    watcher.SetLastWords([&db] { db->Flush(); });
  }

  if (options.mode.quick && !QuickCheckSupported()) {
    std::fprintf(stderr, "harrowbit-cli: --quick is not verified with %s: checking in full\n",
                 VorbisLibraryVersion().c_str());
    options.mode.quick = false;
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

  std::unique_ptr<IResultFormatter> formatter;
  if (options.json) {
    formatter = std::make_unique<CJsonFormatter>(out, options.errorsOnly, options.mode.strict);
  } else {
    formatter = std::make_unique<CTextFormatter>(out, options.errorsOnly, options.mode.strict);
  }
  CListBuilder builder(state.m_fileList, *formatter, OggNamesOf(options));
  for (const std::string& path : options.paths) builder.Add(path);
  const bool listRead = options.filesFrom.empty() || AddListedPaths(options, builder);

  std::optional<CRememberedVerdicts> remembered;
  if (db) remembered.emplace(*db, options.mode, options.skipCheckedDays);
  CRememberedVerdicts* memory = remembered ? &*remembered : nullptr;

  const bool showProgress = IsTerminal(stderr);
  CProgressLine progress(stderr, state.m_fileList, [memory](const ListedFile& file) {
    return memory != nullptr && memory->Decide(file.index, file.path).reuse;
  });
  CResults results(out, *formatter, showProgress ? &progress : nullptr, memory);
  state.PrepareStart();
  std::optional<CTimeBudget> budget;
  std::vector<IScanListener*> listeners{&results};
  if (showProgress) listeners.push_back(&progress);
  if (options.budget) listeners.push_back(&budget.emplace(state, *options.budget));
  CFanOut listener(std::move(listeners));
  CSilentWindow silent;
  IScanWindow& window = showProgress ? static_cast<IScanWindow&>(progress) : silent;

  ScanThreadProc(state, window, MakeTesters(options, state, memory), &listener);
  RunOutcome outcome{.signal = watcher.Signal()};
  results.WriteSummary({.cancelled = outcome.signal != 0,
                        .budgetSpent = budget && budget->Spent(),
                        .mode = options.mode});
  out.Flush();

  outcome.trouble = !builder.AllUsed() || !listRead || results.FilesNotChecked();
  if (!results.RunFault().empty()) {
    Complain(results.StoppedAt(), "not checked, and the check stopped here: " + results.RunFault());
    outcome.trouble = true;
  }
  if (remembered) SayNewlyDamaged(*remembered);
  if (db) {
    db->Close();
    if (db->Unrecorded() > 0) {
      std::fprintf(stderr, "harrowbit-cli: %s; %lld verdicts were not recorded\n",
                   db->ErrorText().c_str(), static_cast<long long>(db->Unrecorded()));
      outcome.trouble = true;
    }
  }
  outcome.outputError = out.Error();
  outcome.damage = results.Errors() > 0 || results.Warned() > 0;
  return ExitStatus(outcome);
}
