#pragma once

#include <windows.h>
// These build on windows.h.
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "scan/file_tester.h"
#include "scan/scan_state.h"
#include "ui/scan_controller.h"
#include "winui/template_layout.h"

// The program's window on Windows: the dialog IDD_MAIN of the resource script, run
// modally. What its buttons, drops and command line do is CScanController's, as in the
// Qt window; this class turns messages into the controller's calls and shows what it is
// told.
class CScanDlg final : private IScanView {
 public:
  CScanDlg();
  ~CScanDlg() override;
  CScanDlg(const CScanDlg&) = delete;
  CScanDlg& operator=(const CScanDlg&) = delete;

  // Runs the dialog; returns when it has closed.
  INT_PTR DoModal();

  CScanController m_controller{*this};
  // The controller's, under the names the window has always given them.
  CScanState& m_state = m_controller.m_state;
  TesterFactory& m_testerFactory = m_controller.m_testerFactory;
  // Everything after the program's name (see command_line.h).
  std::wstring m_strCmdLine;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);

  BOOL OnInitDialog();
  void OnOK();
  void OnCancel();
  void OnBrowse();
  void OnDropFiles(HDROP drop);
  void OnSize(UINT type);
  void OnGetMinMaxInfo(MINMAXINFO* info) const;
  void OnPaint();

  void DoDataExchange();
  void CentreOnWorkArea();
  void FitInWorkArea();
  bool WorkArea(RECT& area) const;
  void MeasureBaseUnits();
  void AddHiddenLabels();
  void ShowLastLine();
  void OnViewUpdate(bool urgent);
  void ApplyView();
  void AppendLog(std::string_view utf8);

  // IScanView.
  void RequestView(bool urgent) override;
  void ShowView(const CViewMailbox::Update& u) override;
  void ShowCaptions(const char* start, const char* close) override;
  void ShowCollecting(bool busy) override;
  void CloseWindow() override;

  std::atomic<HWND> m_hWnd{nullptr};
  HWND m_btnStart = nullptr;
  HWND m_btnClose = nullptr;
  HWND m_editPath = nullptr;
  HWND m_btnBrowse = nullptr;
  HWND m_editLog = nullptr;
  HWND m_progress = nullptr;
  bool m_bInitDone = false;
  HICON m_hIcon = nullptr;
  HICON m_hSmallIcon = nullptr;
  // The dialog font's base units at the window's DPI: the layout is always the template
  // at these units plus the client area's growth beyond the template's.
  DialogBaseUnits m_baseUnits{};

  ULONGLONG m_lastView = 0;
  bool m_bViewTimer = false;
  // The cursor that collection's wait cursor stands in for.
  HCURSOR m_hCursorBefore = nullptr;
};
