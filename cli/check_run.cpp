#include "cli/check_run.h"

#include <cstdio>

#include "cli/complaint.h"
#include "cli/database_queries.h"
#include "cli/exit_status.h"
#include "cli/given_paths.h"
#include "cli/json_formatter.h"
#include "cli/run_decoding.h"
#include "cli/text_formatter.h"
#include "platform/program.h"
#include "scan/scan_worker.h"

CCheckRun::CCheckRun(CliOptions options)
    : m_options(std::move(options)), m_out(stdout, [this] { m_state.RequestCancel(); }) {}

std::optional<int> CCheckRun::Build() {
  // Write errors come back as EPIPE and are answered as a SIGPIPE would be; a helper that
  // died must not kill the scan through its pipe either.
  PrepareStandardStreams();
  m_watcher.emplace(m_state);
  if (!m_watcher->Error().empty()) {
    // The same limit keeps any decoder helper from starting: nothing can be checked.
    std::fprintf(stderr, "harrowbit-cli: cannot start a thread: %s\n", m_watcher->Error().c_str());
    return kExitTrouble;
  }

  if (!m_database.Open(m_options)) return kExitTrouble;
  if (m_database.Asked()) return AskTheDatabase(m_options, m_database.Db(), m_out);
  // A second Ctrl-C ends the program at once, but what it reported is kept.
  if (m_database.IsOpen()) m_watcher->SetLastWords(m_database.LastWords());

  SettleTheCheck(m_options);
  if (!FitJobsToOpenFiles(m_options)) return kExitTrouble;

  if (m_options.json) {
    m_formatter =
        std::make_unique<CJsonFormatter>(m_out, m_options.errorsOnly, m_options.mode.strict);
  } else {
    m_formatter =
        std::make_unique<CTextFormatter>(m_out, m_options.errorsOnly, m_options.mode.strict);
  }
  m_bListWhole = ListGivenPaths(m_options, m_state.m_fileList, *m_formatter);
  if (!m_options.salvageDir.empty()) {
    if (!SalvageFolderUsable(m_options.salvageDir)) return kExitTrouble;
    m_salvage.emplace(m_options, m_out);
    m_salvage->KeepOutOfList(m_state.m_fileList);
  }

  CRememberedVerdicts* remembered = m_database.Remember(m_options.mode, m_options.skipCheckedDays);
  m_state.PrepareStart();
  m_listeners.emplace(m_state, m_out, *m_formatter, remembered, m_options.budget,
                      m_salvage ? &*m_salvage : nullptr);
  m_testers = MakeTesters(m_options, m_state, remembered);
  return std::nullopt;
}

int CCheckRun::Run() {
  ScanThreadProc(m_state, m_listeners->Window(), m_testers, &m_listeners->Listener());
  CResults& results = m_listeners->Results();
  RunOutcome outcome{.signal = m_watcher->Signal()};
  results.WriteSummary({.cancelled = outcome.signal != 0,
                        .budgetSpent = m_listeners->BudgetSpent(),
                        .mode = m_options.mode});
  if (m_salvage) m_salvage->WriteSummary();
  m_out.Flush();

  outcome.trouble = !m_bListWhole || results.FilesNotChecked();
  if (!results.RunFault().empty()) {
    Complain(results.StoppedAt(), "not checked, and the check stopped here: " + results.RunFault());
    outcome.trouble = true;
  }
  if (!m_database.Finish()) outcome.trouble = true;
  outcome.outputError = m_out.Error();
  outcome.damage = results.Errors() > 0 || results.Warned() > 0 ||
                   (m_options.failOnAudioChange && results.AudioChanged() > 0);
  outcome.salvageNotWritten = m_salvage && m_salvage->NotWritten();
  return ExitStatus(outcome);
}
