#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QRect>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <string>
#include <thread>

#include "scan/file_collection.h"
#include "scan/file_tester.h"
#include "scan/scan_state.h"
#include "scan/scan_window.h"
#include "ui/dialog_template.h"
#include "ui/view_mailbox.h"

class QMimeData;
class QPlainTextEdit;
class QLineEdit;
class QProgressBar;
class QPushButton;

// The program's window: a folder field with Browse, the log pane that shows the report,
// the progress bar, and Start/Pause/Continue and Close/Cancel. It owns the state it
// shares with the scan worker, and the worker reaches it only through IScanWindow.
class CScanDlg : public QDialog, public IScanWindow {
  Q_OBJECT

 public:
  // Returns the chosen folder, or an empty text when the user cancels.
  using FolderChooser = std::function<QString(QWidget* owner, const QString& title)>;

  explicit CScanDlg(QWidget* parent = nullptr);
  ~CScanDlg() override;

  // IScanWindow. The worker's calls only leave news for the window's thread; they never
  // wait for it.
  void SetLogText(std::string_view text) override;
  void SetProgress(int64_t value, bool bSetRange) override;
  void UpdateButtons() override;

  void OnOK();
  void OnCancel();
  void OnBrowse();
  void OnDropFiles(const QMimeData& drop);
  void OnSize();
  void OnGetMinMaxInfo();

  QWidget* GetDlgItem(int id) const;

  // A Close, Esc or close-box press this soon after a cancelled check ends is the second
  // half of a double press, and keeps the window and its report.
  static constexpr qint64 kCancelGraceMs = 1000;

  // m_fileList, m_bKeepGoing, m_bRunning and m_hRunEvent.
  CScanState m_state;
  // Native bytes: a name that is not valid UTF-8 still reaches the file system intact.
  std::string m_strCmdLine;
  QPushButton* m_btnStart = nullptr;
  QPushButton* m_btnClose = nullptr;
  QLineEdit* m_editPath = nullptr;
  QPushButton* m_btnBrowse = nullptr;
  QPlainTextEdit* m_editLog = nullptr;
  QProgressBar* m_progress = nullptr;
  bool m_bInitDone = false;
  QIcon m_hIcon;
  // The window's client rectangle in screen coordinates as it opened, when its controls
  // stood as the template places them.
  QRect m_rcWindow;

  // Set before the window is shown. The program decodes in a helper process, so a file
  // that crashes the decoder cannot take the window down; tests put in testers of their own.
  TesterFactory m_testerFactory;
  FolderChooser m_chooseFolder;

 public slots:
  void accept() override;
  void reject() override;

 public:
  void setVisible(bool visible) override;

 protected:
  bool event(QEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void moveEvent(QMoveEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  QWidget* CreateControl(const ControlTemplate& t);
  void DoDataExchange();
  void OnInitDialog();
  void ScanCommandLine();
  // Collection's report of a folder it could not read: named in the report.
  UnreadableFolderSink NoteUnreadable();
  void StartWorker();
  // With no scan to write a report: the report is the lines for what was not checked.
  void ShowUnchecked();
  // Once the window sees a cancelled check over, the grace for a second press begins.
  void NoteScanEnd();
  // Opens the window inside the screen's available area, shrinking it if it must.
  void FitInScreen();
  // Applies what the worker left in the mailbox, at most once per refresh interval.
  void OnViewUpdate();
  void ApplyView();

  BaseUnits m_baseUnits{};
  std::array<QWidget*, kControls.size()> m_controls{};
  std::thread::id m_uiThread = std::this_thread::get_id();
  CViewMailbox m_mailbox;
  QElapsedTimer m_lastView;
  QTimer m_viewTimer;
  // The current or last worker. Joined before the next one begins, when it is past its
  // last wait, and at destruction, after letting it go as Cancel would.
  std::thread m_worker;
  // A cancel was asked of the scan; and when the window saw that scan end.
  bool m_bCancelAsked = false;
  QElapsedTimer m_cancelEnded;
  // The window manager's frame was known and the window checked against the screen.
  bool m_bFitted = false;
  QTimer m_fitTimer;
  int m_nFitTries = 0;
};
