#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/output.h"
#include "cli/progress_line.h"
#include "cli/remembered_verdicts.h"
#include "cli/result_formatter.h"
#include "scan/scan_listener.h"
#include "scan/scan_state.h"
#include "scan/scan_window.h"

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

  void OnFileBegun(int, const ListedFile& file) override;
  void OnFileEnded(const FileResult& result) override;
  void OnScanEnded(const ScanSummary& summary) override;
  // The summary, once the run's facts are known: after the scan.
  void WriteSummary(const RunFacts& run);

  int Errors() const { return m_summary.errors; }
  // Files whose sound changed since their last check (ResultNotes::audioChangedFromMs).
  int AudioChanged() const { return m_nAudioChanged; }
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
  int m_nAudioChanged = 0;
};

// Everything that hears the scan, wired together: the results going out (and into the
// results database), the progress line when standard error is a terminal, the time
// budget. Made once the scan state is prepared for the start: the budget may stop it then.
class CRunListeners {
 public:
  CRunListeners(CScanState& state, COutput& out, IResultFormatter& formatter,
                CRememberedVerdicts* remembered, std::optional<std::chrono::milliseconds> budget,
                IScanListener* salvage = nullptr);

  IScanListener& Listener() { return m_fanOut; }
  // The progress line on a terminal; elsewhere nothing is drawn.
  IScanWindow& Window();
  CResults& Results() { return m_results; }
  bool BudgetSpent() const { return m_budget && m_budget->Spent(); }

 private:
  std::vector<IScanListener*> InOrder();

  const bool m_bShowProgress;
  CProgressLine m_progress;
  CSilentWindow m_silent;
  CResults m_results;
  // --salvage: hears each result after it was written, before the progress line is drawn.
  IScanListener* m_pSalvage;
  std::optional<CTimeBudget> m_budget;
  CFanOut m_fanOut;
};
