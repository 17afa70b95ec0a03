#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QMargins>
#include <QRect>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <string>

#include "scan/file_tester.h"
#include "scan/scan_state.h"
#include "ui/dialog_template.h"
#include "ui/scan_controller.h"

class QMimeData;
class QPlainTextEdit;
class QLineEdit;
class QProgressBar;
class QPushButton;

// The program's window: a folder field with Browse, the log pane that shows the report,
// the progress bar, and Start/Pause/Continue and Close/Cancel. What the buttons, drops
// and the command line do is CScanController's, as in the Windows window; this class
// holds the widgets, lays them out and shows what the controller tells it.
class CScanDlg : public QDialog, private IScanView {
  Q_OBJECT

 public:
  // Returns the chosen folder, or an empty text when the user cancels.
  using FolderChooser = std::function<QString(QWidget* owner, const QString& title)>;

  explicit CScanDlg(QWidget* parent = nullptr);
  ~CScanDlg() override;

  // The whole report so far, as the worker would give it.
  void SetLogText(std::string_view text) { m_controller.SetLogText(text); }

  void OnOK();
  void OnCancel();
  void OnBrowse();
  void OnDropFiles(const QMimeData& drop);
  void OnSize();
  void OnGetMinMaxInfo();

  QWidget* GetDlgItem(int id) const;

  // A Close, Esc or close-box press this soon after a cancelled check ends is the second
  // half of a double press, and keeps the window and its report.
  static constexpr qint64 kCancelGraceMs = CScanController::kCancelGraceMs;

  CScanController m_controller{*this};
  // The controller's, under the names the window has always given them.
  CScanState& m_state = m_controller.m_state;
  TesterFactory& m_testerFactory = m_controller.m_testerFactory;
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
  // IScanView.
  void RequestView(bool urgent) override;
  void ShowView(const CViewMailbox::Update& u) override;
  void ShowCaptions(const char* start, const char* close) override;
  void ShowCollecting(bool busy) override;
  void CloseWindow() override;
  // Opens the window inside the screen's available area, shrinking it if it must.
  void FitInScreen();
  QMargins FrameMargins() const;
  // Applies what the worker left in the mailbox, at most once per refresh interval.
  void OnViewUpdate();
  void ApplyView();

  BaseUnits m_baseUnits{};
  std::array<QWidget*, kControls.size()> m_controls{};
  QElapsedTimer m_lastView;
  QTimer m_viewTimer;
  // The window manager's frame was known and the window checked against the screen.
  bool m_bFitted = false;
  QTimer m_fitTimer;
  int m_nFitTries = 0;
};
