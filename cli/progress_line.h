#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>

#include "scan/file_list.h"
#include "scan/scan_listener.h"
#include "scan/scan_window.h"

// A live line on a terminal: files done of the total, the rate in audio seconds per
// second, the time left, and the current file with how far it has got. It takes the
// worker's progress as the window's bar does, and the results as they come.
class CProgressLine final : public IScanWindow, public IScanListener {
 public:
  // `remembered` tells a file whose recorded verdict stands from one that is decoded: it
  // costs no time and plays no audio, so it counts apart from the rate and the time left.
  CProgressLine(std::FILE* terminal, const CFileList& list,
                std::function<bool(const ListedFile&)> remembered = {})
      : m_terminal(terminal), m_list(list), m_remembered(std::move(remembered)) {}

  // The report itself goes out through the formatters.
  void SetLogText(std::string_view) override {}
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override {}
  bool ShowsReport() const override { return false; }

  void OnFileBegun(int number, const ListedFile& file) override;
  void OnFileStep(const FileVerdict& soFar) override;
  void OnFileEnded(const FileResult& result) override;
  void OnScanEnded(const ScanSummary&) override { Clear(); }

  // Before anything else goes to the terminal.
  void Clear();

 private:
  void Draw();
  std::string RateAndTimeLeft();

  std::FILE* m_terminal;
  const CFileList& m_list;
  std::function<bool(const ListedFile&)> m_remembered;
  int m_nFilesDone = 0;
  int m_nRemembered = 0;
  bool m_bCurrentRemembered = false;
  // Time spent on the files decoded, for the time left.
  std::chrono::steady_clock::duration m_decoding{};
  std::chrono::steady_clock::time_point m_fileBegun;
  double m_audioSeconds = 0;
  double m_lastPosition = 0;
  // The file being decoded, as shown; empty between files.
  std::string m_strCurrent;
  int64_t m_nRange = 0;
  int64_t m_nPosition = 0;
  bool m_bShown = false;
  std::chrono::steady_clock::time_point m_lastDraw{};
  // Recent (time, audio seconds) readings, for the current rate.
  std::deque<std::pair<std::chrono::steady_clock::time_point, double>> m_rateSamples;
};
