#pragma once

#include <windows.h>
// These build on windows.h.
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "scan/file_collection.h"
#include "scan/file_tester.h"
#include "scan/scan_state.h"
#include "scan/scan_window.h"
#include "ui/view_mailbox.h"
#include "winui/template_layout.h"

// The program's window on Windows: the dialog IDD_MAIN of the resource script, run
// modally. It owns the state it shares with the scan worker; the worker reaches it only
// through IScanWindow, whose calls leave news in a mailbox and never wait for this thread.
class CScanDlg final : public IScanWindow {
 public:
  CScanDlg();
  ~CScanDlg() override;
  CScanDlg(const CScanDlg&) = delete;
  CScanDlg& operator=(const CScanDlg&) = delete;

  // Runs the dialog; returns when it has closed.
  INT_PTR DoModal();

  // IScanWindow, called on the worker's thread (UpdateButtons also on this one).
  void SetLogText(std::string_view text) override;
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override;

  // A Close, Esc or close-box press this soon after a cancelled check ends is the second
  // half of a double press, and keeps the window and its report.
  static constexpr ULONGLONG kCancelGraceMs = 1000;

  // m_fileList, m_bKeepGoing, m_bRunning and m_hRunEvent.
  CScanState m_state;
  // Everything after the program's name (see command_line.h).
  std::wstring m_strCmdLine;
  TesterFactory m_testerFactory;

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
  void ScanCommandLine();
  UnreadableFolderSink NoteUnreadable();
  void StartWorker();
  void ShowUnchecked();
  void NoteScanEnd();
  void OnViewUpdate(bool urgent);
  void ApplyView();
  void AppendLog(std::string_view utf8);

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
  // The window's rectangle as it opened, when its controls stood as the template places
  // them: the layout is always the template plus the growth since.
  RECT m_rcWindow{};
  DialogBaseUnits m_baseUnits{};

  DWORD m_uiThread = ::GetCurrentThreadId();
  CViewMailbox m_mailbox;
  ULONGLONG m_lastView = 0;
  bool m_bViewTimer = false;
  // The current or last worker. Joined before the next one begins, when it is past its
  // last wait, and at destruction, after letting it go as Cancel would.
  std::thread m_worker;
  bool m_bCancelAsked = false;
  ULONGLONG m_cancelEnded = 0;
};
