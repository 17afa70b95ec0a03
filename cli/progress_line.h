#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>

#include "scan/file_list.h"
#include "scan/scan_listener.h"
#include "scan/scan_window.h"

// A live line on a terminal: files done of the total, the rate in audio seconds per
// second, the time left, and the current file with how far it has got. It takes the
// worker's progress as the window's bar does, and the results as they come.
class CProgressLine final : public IScanWindow, public IScanListener {
 public:
  CProgressLine(std::FILE* terminal, const CFileList& list) : m_terminal(terminal), m_list(list) {}

  // The report itself goes out through the formatters.
  void SetLogText(std::string_view) override {}
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override {}

  void OnFileBegun(int number, const ListedFile& file) override;
  void OnFileStep(const FileVerdict& soFar) override;
  void OnFileEnded(const FileResult& result) override;
  void OnScanEnded(const ScanSummary&) override { Clear(); }

  // A file whose recorded verdict stood: counted apart from those decoded.
  void CountRemembered() { ++m_nRemembered; }
  // Before anything else goes to the terminal.
  void Clear();

 private:
  void Draw();
  std::string RateAndTimeLeft();

  std::FILE* m_terminal;
  const CFileList& m_list;
  int m_nFilesDone = 0;
  int m_nRemembered = 0;
  double m_audioSeconds = 0;
  double m_lastPosition = 0;
  // The file being decoded, as shown; empty between files.
  std::string m_strCurrent;
  int64_t m_nRange = 0;
  int64_t m_nPosition = 0;
  bool m_bShown = false;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point m_lastDraw{};
  // Recent (time, audio seconds) readings, for the current rate.
  std::deque<std::pair<std::chrono::steady_clock::time_point, double>> m_rateSamples;
};
