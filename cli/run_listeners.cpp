#include "cli/run_listeners.h"

#include "cli/complaint.h"
#include "platform/path_bytes.h"
#include "platform/program.h"

void CResults::OnFileBegun(int, const ListedFile& file) {
  // Decoding may take a while: what is known goes out first.
  if (m_remembered == nullptr || !m_remembered->Decide(file.index, file.path).reuse) {
    m_out.Flush();
  }
}

void CResults::OnFileEnded(const FileResult& result) {
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
      notes = m_remembered->Record(result.index, result);
      if (notes.audioChangedFromMs) ++m_nAudioChanged;
    }
    m_remembered->Forget(result.index);
  }
  m_formatter.File(result, notes);
}

void CResults::OnScanEnded(const ScanSummary& summary) {
  m_summary = summary;
  m_strSummaryLine = summary.line;
  m_summary.line = {};
}

void CResults::WriteSummary(const RunFacts& run) {
  m_summary.line = m_strSummaryLine;
  m_formatter.Summary(m_summary, run);
}

CRunListeners::CRunListeners(CScanState& state, COutput& out, IResultFormatter& formatter,
                             CRememberedVerdicts* remembered,
                             std::optional<std::chrono::milliseconds> budget,
                             IScanListener* salvage)
    : m_bShowProgress(IsTerminal(stderr)),
      m_progress(stderr, state.m_fileList,
                 [remembered](const ListedFile& file) {
                   return remembered != nullptr && remembered->Decide(file.index, file.path).reuse;
                 }),
      m_results(out, formatter, m_bShowProgress ? &m_progress : nullptr, remembered),
      m_pSalvage(salvage),
      m_budget(budget ? std::optional<CTimeBudget>(std::in_place, state, *budget) : std::nullopt),
      m_fanOut(InOrder()) {}

std::vector<IScanListener*> CRunListeners::InOrder() {
  std::vector<IScanListener*> listeners{&m_results};
  if (m_pSalvage != nullptr) listeners.push_back(m_pSalvage);
  if (m_bShowProgress) listeners.push_back(&m_progress);
  if (m_budget) listeners.push_back(&*m_budget);
  return listeners;
}

IScanWindow& CRunListeners::Window() {
  return m_bShowProgress ? static_cast<IScanWindow&>(m_progress) : m_silent;
}
