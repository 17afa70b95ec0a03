#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "scan/scan_window.h"

// Shows a scan on a terminal: the report's lines on one stream with "\n" line ends, each
// printed once it is complete, and a live progress line on another when that one is a
// terminal.
class CTerminalWindow final : public IScanWindow {
 public:
  CTerminalWindow(std::FILE* report, std::FILE* progress, bool showProgress);

  void SetLogText(std::string_view text) override;
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override {}

  // Prints the report's last line, which no line break follows, and clears the progress.
  void Finish();

 private:
  void DrawProgress();
  void ClearProgress();

  std::FILE* m_report;
  std::FILE* m_progress;
  bool m_bShowProgress;
  // Bytes of the current report already printed, and the line still growing after them.
  std::size_t m_nPrinted = 0;
  std::string m_strPending;
  int64_t m_nRange = 0;
  int64_t m_nPosition = 0;
  bool m_bProgressShown = false;
  std::chrono::steady_clock::time_point m_lastDraw{};
};
