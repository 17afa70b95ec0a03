#pragma once

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>

#include "cli/file_results.h"
#include "scan/file_list.h"
#include "scan/scan_window.h"

struct TerminalOptions {
  // Off when the results go out as JSON instead.
  bool printReport = true;
  // Only the failed files' lines and the summary.
  bool errorsOnly = false;
  // A live line on the progress stream; only for a terminal.
  bool showProgress = false;
};

// Shows a scan on a terminal: the report's lines on one stream with "\n" line ends, each
// printed once it is complete, and a live progress line on another.
class CTerminalWindow final : public IScanWindow {
 public:
  CTerminalWindow(std::FILE* report, std::FILE* progress, TerminalOptions options,
                  const ScanCounts& counts, const CFileList& list);

  void SetLogText(std::string_view text) override;
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override {}

  // Prints the report's last line, which no line break follows, and clears the progress.
  void Finish();

 private:
  void PrintLine(std::string_view line, bool isLast);
  void DrawProgress();
  void ClearProgress();
  std::string RateAndTimeLeft();

  std::FILE* m_report;
  std::FILE* m_progress;
  TerminalOptions m_options;
  const ScanCounts& m_counts;
  const CFileList& m_list;
  // Bytes of the current report already printed, and the line still growing after them.
  std::size_t m_nPrinted = 0;
  std::string m_strPending;
  int64_t m_nRange = 0;
  int64_t m_nPosition = 0;
  bool m_bProgressShown = false;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point m_lastDraw{};
  // Recent (time, audio seconds) readings, for the current rate.
  std::deque<std::pair<std::chrono::steady_clock::time_point, double>> m_rateSamples;
};
