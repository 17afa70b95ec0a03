#include "scan/scan_worker.h"

#include <optional>
#include <utility>

#include "scan/scan_report.h"

namespace {

// The file's path and verdict go to the result: it is the last that needs them.
void Tell(IScanListener* listener, int number, ListedFile& file, FileVerdict verdict,
          const CScanReport& report) {
  if (listener == nullptr) return;
  listener->OnFileEnded(
      {number, file.index, std::move(file.path), std::move(verdict), report.CurrentLine()});
}

// The verdict as the report shows it: a cancelled file and one a fault of the run kept
// from being checked keep their "..." with no verdict.
void Write(CScanReport& report, const FileVerdict& verdict) {
  // A file that breaks a format rule must not read as a clean one.
  if (verdict.status == FileVerdict::Status::kOk) {
    if (verdict.HasWarnings()) {
      report.AddWarned(verdict.WarningCount());
    } else {
      report.AddOk();
    }
  }
  if (verdict.IsError()) report.AddError(verdict.reason);
  // A codec no check here decodes leaves the audio unchecked, not the pages: their
  // breaches count as any other file's.
  if ((verdict.IsError() || verdict.unsupported) && verdict.HasWarnings()) report.NoteWarned();
}

}  // namespace

int ScanThreadProc(CScanState& state, IScanWindow& window, const TesterFactory& makeTester,
                   IScanListener* listener) {
  state.WorkerBegins();

  auto tester = makeTester();
  CScanReport report(window.ShowsReport());
  int fileNumber = 0;
  std::size_t nextIndex = 0;
  bool haveNext = !state.m_fileList.IsEmpty();

  window.SetLogText(report.Text());
  window.UpdateButtons();

  std::optional<CFileList::WalkEnd> walkEnd;
  for (;;) {
    // Entries dropped while the last file was tested would otherwise stay in the list
    // untested, with nothing to say so. The last look ends the walk under the list's lock:
    // an entry appended after it finds the scan over and starts a scan of its own.
    if (!haveNext) {
      walkEnd = state.m_fileList.EndWalkIfAllTaken(nextIndex);
      haveNext = !walkEnd;
    }
    if (!haveNext || !state.MayBeginFile()) break;
    // The next entry is decided before the file is tested.
    auto entry = state.m_fileList.Take(nextIndex);
    if (!entry) break;  // the list is never shortened under a running worker
    ListedFile file{nextIndex, std::move(entry->path)};
    ++fileNumber;
    ++nextIndex;
    haveNext = entry->hasNext;

    report.BeginFile(fileNumber, state.m_fileList.Count(), file.path);
    if (listener != nullptr) listener->OnFileBegun(fileNumber, file);

    if (tester->Open(file)) {
      int64_t decoded = 0;
      window.SetProgress(tester->Verdict().samples, true);
      window.SetLogText(report.Text());
      int64_t last = 1;  // counts as non-zero before the first step
      while (last > 0 && state.KeepGoing()) {
        last = tester->DecodeStep();
        if (last > 0) decoded += last;
        window.SetProgress(decoded, false);
        if (listener != nullptr) listener->OnFileStep(tester->Verdict());
        state.WaitWhilePaused();
      }
      FileVerdict verdict = tester->Verdict();
      // Stopped between two steps: the file has no verdict.
      if (verdict.status == FileVerdict::Status::kPending) {
        verdict.status = FileVerdict::Status::kCancelled;
      }
      Write(report, verdict);
      window.SetLogText(report.Text());
      Tell(listener, fileNumber, file, std::move(verdict), report);
      continue;
    }
    // The window shows a failed open's line at its next refresh.
    const FileVerdict& verdict = tester->Verdict();
    Write(report, verdict);
    Tell(listener, fileNumber, file, verdict, report);
    if (verdict.stopsScan) break;
  }

  if (!walkEnd) walkEnd = state.m_fileList.EndWalk();
  // From here on the list is the next scan's: a drop may already be refilling it.
  const bool cancelled = !state.KeepGoing();
  const std::size_t notChecked = walkEnd->listed - static_cast<std::size_t>(fileNumber);
  for (const CFileList::Unchecked& u : walkEnd->unchecked) report.AddUnchecked(u.path, u.reason);
  report.AddSummary(fileNumber);
  if (cancelled) report.AddNotChecked("Cancelled", notChecked, walkEnd->listed);
  window.SetLogText(report.Text());
  if (listener != nullptr) {
    listener->OnScanEnded({.files = fileNumber,
                           .errors = report.ErrorCount(),
                           .failed = report.Failed(),
                           .listed = walkEnd->listed,
                           .line = report.SummaryLine(),
                           .cancelled = cancelled,
                           .notChecked = notChecked,
                           .uncheckedLines = report.UncheckedLines(),
                           .notCheckedLine = std::string(report.NotCheckedLine()),
                           .warned = report.Warned()});
  }
  window.SetProgress(0, false);
  window.UpdateButtons();
  tester.reset();
  return 0;
}
