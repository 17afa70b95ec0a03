#include "scan/scan_worker.h"

#include <string>

#include "text/path_text.h"

namespace {

bool KeepGoing(const CScanState& state) {
  return state.m_bKeepGoing.load(std::memory_order_acquire) != 0;
}

void AddFailure(std::string& report, const std::string& reason, int fileNumber, int& errorCount,
                std::string& failedList) {
  ++errorCount;
  report += "ERROR (";
  report += reason;
  report += ')';
  if (!failedList.empty()) failedList += ',';
  failedList += std::to_string(fileNumber);
}

}  // namespace

int ScanThreadProc(CScanState& state, IScanWindow& window, const TesterFactory& makeTester) {
  state.m_bRunning.store(1, std::memory_order_release);

  auto tester = makeTester();
  std::string report;
  std::string failedList;
  int fileNumber = 0;
  int errorCount = 0;
  std::size_t nextIndex = 0;
  bool haveNext = !state.m_fileList.IsEmpty();

  window.SetLogText(report);
  window.UpdateButtons();

  while (haveNext && KeepGoing(state)) {
    const auto entry = state.m_fileList.Take(nextIndex);
    if (!entry) break;  // the list is never shortened under a running worker
    ++fileNumber;
    ++nextIndex;
    haveNext = entry->hasNext;

    if (!report.empty()) report += "\r\n";
    report += '[';
    report += std::to_string(fileNumber);
    report += '/';
    report += std::to_string(state.m_fileList.Count());
    report += "]\t";
    report += DisplayText(entry->path.native());
    report += "...";

    if (tester->Open(entry->path)) {
      int64_t decoded = 0;
      window.SetProgress(tester->TotalSamples(), true);
      window.SetLogText(report);
      int last = 1;  // counts as non-zero before the first step
      while (last != 0 && KeepGoing(state)) {
        const int r = tester->DecodeStep();
        last = r;
        if (r < 0) {
          AddFailure(report, tester->ErrorText(), fileNumber, errorCount, failedList);
          last = 0;
        } else {
          decoded += r;
          if (r == 0) report += "OK";
        }
        window.SetProgress(decoded, false);
        state.m_hRunEvent.Wait();
      }
      window.SetLogText(report);
    } else {
      AddFailure(report, tester->ErrorText(), fileNumber, errorCount, failedList);
    }
  }

  if (!report.empty()) report += "\r\n";
  report += std::to_string(fileNumber);
  report += " files, ";
  report += std::to_string(errorCount);
  report += " errors";
  if (!failedList.empty()) {
    report += " [";
    report += failedList;
    report += ']';
  }
  window.SetLogText(report);

  state.m_bRunning.store(0, std::memory_order_release);
  window.SetProgress(0, false);
  window.UpdateButtons();
  tester.reset();
  return 0;
}
