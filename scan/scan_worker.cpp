#include "scan/scan_worker.h"

#include <optional>

#include "scan/scan_report.h"

namespace {

void Tell(IScanListener* listener, int number, const std::filesystem::path& path,
          FileVerdict verdict, FileVerdict::Status status, const CScanReport& report) {
  if (listener == nullptr) return;
  verdict.status = status;
  listener->OnFileEnded({number, path, std::move(verdict), report.CurrentLine()});
}

}  // namespace

int ScanThreadProc(CScanState& state, IScanWindow& window, const TesterFactory& makeTester,
                   IScanListener* listener) {
  state.WorkerBegins();

  auto tester = makeTester();
  CScanReport report;
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
    const auto entry = state.m_fileList.Take(nextIndex);
    if (!entry) break;  // the list is never shortened under a running worker
    ++fileNumber;
    ++nextIndex;
    haveNext = entry->hasNext;

    report.BeginFile(fileNumber, state.m_fileList.Count(), entry->path);
    if (listener != nullptr) listener->OnFileBegun(fileNumber, entry->path);

    if (tester->Open(entry->path)) {
      int64_t decoded = 0;
      window.SetProgress(tester->Verdict().samples, true);
      window.SetLogText(report.Text());
      int64_t last = 1;  // counts as non-zero before the first step
      auto status = FileVerdict::Status::kCancelled;
      while (last != 0 && state.KeepGoing()) {
        const int64_t r = tester->DecodeStep();
        last = r;
        if (r < 0 && tester->Verdict().decoderEnded && !state.KeepGoing()) {
          // The decoder went down with the scan (a signal to the whole process group):
          // that says nothing about the file.
          last = 0;
        } else if (r < 0) {
          report.AddError(tester->Verdict().reason);
          status = FileVerdict::Status::kError;
          last = 0;
        } else {
          decoded += r;
          if (r == 0) {
            report.AddOk();
            status = FileVerdict::Status::kOk;
          }
        }
        window.SetProgress(decoded, false);
        if (listener != nullptr) listener->OnFileStep(tester->Verdict());
        state.WaitWhilePaused();
      }
      window.SetLogText(report.Text());
      Tell(listener, fileNumber, entry->path, tester->Verdict(), status, report);
    } else if (tester->Verdict().decoderEnded && !state.KeepGoing()) {
      // Stopped while it opened, by the cancel itself.
      Tell(listener, fileNumber, entry->path, tester->Verdict(), FileVerdict::Status::kCancelled,
           report);
    } else if (tester->Verdict().status == FileVerdict::Status::kNotChecked) {
      // A fault of the run, not of the file: the scan cannot go on. The file's line keeps
      // its "..." as a cancelled file's does.
      Tell(listener, fileNumber, entry->path, tester->Verdict(), FileVerdict::Status::kNotChecked,
           report);
      break;
    } else {
      // The window shows this line at its next refresh.
      report.AddError(tester->Verdict().reason);
      Tell(listener, fileNumber, entry->path, tester->Verdict(), FileVerdict::Status::kError,
           report);
    }
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
                           .notCheckedLine = std::string(report.NotCheckedLine())});
  }
  window.SetProgress(0, false);
  window.UpdateButtons();
  tester.reset();
  return 0;
}
