#include "ui/scan_dlg.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <QUrl>
#include <algorithm>
#include <system_error>

#include "scan/scan_report.h"
#include "scan/scan_worker.h"
#include "ui/folder_chooser.h"
#include "ui/log_pane.h"

namespace {

const QEvent::Type kViewUpdateEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kUrgentViewUpdateEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Twenty refreshes a second look live; more would take time from the decoding.
constexpr qint64 kViewIntervalMs = 50;

// How often the window looks for its frame after it shows, 100 ms apart: a window manager
// frames it at once, or not at all.
constexpr int kFitTries = 20;

// The frame a window manager is likely to give, until the real one is known: Qt's own
// guess when it centres a dialog.
constexpr QMargins kGuessedFrame(10, 40, 10, 10);

class CWaitCursor {
 public:
  CWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~CWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
};

std::filesystem::path NativePath(const QString& text) {
  const QByteArray bytes = QFile::encodeName(text);
  return std::string(bytes.constData(), std::size_t(bytes.size()));
}

// The bytes of a dropped file's name, also when they are not valid UTF-8: the URL keeps
// such bytes percent-encoded, while its QString form would lose them.
std::filesystem::path NativePath(const QUrl& url) {
  if (!url.host().isEmpty()) return NativePath(url.toLocalFile());
  const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
  return std::string(bytes.constData(), std::size_t(bytes.size()));
}

}  // namespace

CScanDlg::CScanDlg(QWidget* parent)
    : QDialog(parent), m_mailbox([this](bool urgent) {
        QCoreApplication::postEvent(this,
                                    new QEvent(urgent ? kUrgentViewUpdateEvent : kViewUpdateEvent));
      }) {
  Q_INIT_RESOURCE(harrowbit);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromUtf8(kDialogCaption));

  const QFontMetrics metrics(font());
  m_baseUnits = {AverageCharWidth(metrics.horizontalAdvance(
                     QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"))),
                 metrics.height()};
  const DlgRect client = DluToPixels(kDialogRect, m_baseUnits);
  resize(client.cx, client.cy);
  for (std::size_t i = 0; i < kControls.size(); ++i) m_controls[i] = CreateControl(kControls[i]);

  connect(static_cast<QPushButton*>(GetDlgItem(IDOK)), &QPushButton::clicked, this,
          &CScanDlg::OnOK);
  connect(static_cast<QPushButton*>(GetDlgItem(IDCANCEL)), &QPushButton::clicked, this,
          &CScanDlg::OnCancel);
  connect(static_cast<QPushButton*>(GetDlgItem(IDC_BROWSE)), &QPushButton::clicked, this,
          &CScanDlg::OnBrowse);
  // The report has no tab stop, as in the template; F6 reaches it, as in many programs.
  auto* toReport = new QShortcut(QKeySequence(Qt::Key_F6), this);
  connect(toReport, &QShortcut::activated, this,
          [this] { GetDlgItem(IDC_LOG)->setFocus(Qt::ShortcutFocusReason); });

  m_hIcon.addFile(QStringLiteral(":/icons/harrowbit-16.png"), QSize(16, 16));
  m_hIcon.addFile(QStringLiteral(":/icons/harrowbit-32.png"), QSize(32, 32));

  m_chooseFolder = ChooseFolder;
  m_viewTimer.setSingleShot(true);
  connect(&m_viewTimer, &QTimer::timeout, this, &CScanDlg::ApplyView);
  m_fitTimer.setSingleShot(true);
  m_fitTimer.setInterval(100);
  connect(&m_fitTimer, &QTimer::timeout, this, &CScanDlg::FitInScreen);
}

CScanDlg::~CScanDlg() {
  if (!m_worker.joinable()) return;
  // A window torn down mid-scan lets its worker go; the worker's calls to the window
  // never wait for it, so the join ends after at most one more step.
  m_state.RequestCancel();
  m_worker.join();
}

QWidget* CScanDlg::CreateControl(const ControlTemplate& t) {
  QWidget* control = nullptr;
  switch (t.kind) {
    case ControlKind::kDefPushButton:
    case ControlKind::kPushButton: {
      auto* button = new QPushButton(QString::fromUtf8(t.text), this);
      button->setAutoDefault(true);
      button->setDefault(t.kind == ControlKind::kDefPushButton);
      control = button;
      break;
    }
    case ControlKind::kPathField: {
      auto* field = new QLineEdit(QString::fromUtf8(t.text), this);
      field->setReadOnly(true);
      field->setAlignment(Qt::AlignCenter);
      field->setFocusPolicy(Qt::ClickFocus);
      field->setAccessibleName(QStringLiteral("Folder to check"));
      control = field;
      break;
    }
    case ControlKind::kLogPane: {
      auto* pane = new CLogPane(this);
      pane->setPlainText(QString::fromUtf8(t.text));
      pane->setAccessibleName(QStringLiteral("Report"));
      pane->setAccessibleDescription(
          QStringLiteral("A line for each file checked, then the summary. F6 moves here."));
      control = pane;
      break;
    }
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(this);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setAccessibleName(QStringLiteral("Progress"));
      bar->setAccessibleDescription(
          QStringLiteral("How much of the file being checked has been decoded"));
      control = bar;
      break;
    }
  }
  // Drops anywhere on the window are the window's.
  control->setAcceptDrops(false);
  const DlgRect r = DluToPixels(t.rect, m_baseUnits);
  control->setGeometry(r.x, r.y, r.cx, r.cy);
  return control;
}

QWidget* CScanDlg::GetDlgItem(int id) const {
  for (std::size_t i = 0; i < kControls.size(); ++i) {
    if (kControls[i].id == id) return m_controls[i];
  }
  return nullptr;
}

void CScanDlg::DoDataExchange() {
  m_btnStart = static_cast<QPushButton*>(GetDlgItem(IDOK));
  m_btnClose = static_cast<QPushButton*>(GetDlgItem(IDCANCEL));
  m_editPath = static_cast<QLineEdit*>(GetDlgItem(IDC_PATH));
  m_btnBrowse = static_cast<QPushButton*>(GetDlgItem(IDC_BROWSE));
  m_editLog = static_cast<QPlainTextEdit*>(GetDlgItem(IDC_LOG));
  m_progress = static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS));
}

void CScanDlg::setVisible(bool visible) {
  // The window is initialised before it first shows, as a dialog is before it maps.
  if (visible && !m_bInitDone) OnInitDialog();
  QDialog::setVisible(visible);
}

void CScanDlg::OnInitDialog() {
  DoDataExchange();
  setWindowIcon(m_hIcon);
  m_editLog->setTabStopDistance(DluToPixelsX(kLogTabStop, m_baseUnits));
  m_state.Reset();
  setAcceptDrops(true);
  ScanCommandLine();
  OnGetMinMaxInfo();
  m_rcWindow = geometry();
  m_bInitDone = true;
  FitInScreen();
  m_btnStart->setFocus();
}

void CScanDlg::ScanCommandLine() {
  if (m_strCmdLine.empty()) return;
  const std::string given = m_strCmdLine;
  std::erase(m_strCmdLine, '"');
  const std::filesystem::path path(m_strCmdLine);
  CFileList& list = m_state.m_fileList;
  AddGivenPath(list, path, NoteUnreadable());
  if (!list.IsEmpty()) {
    if (!m_state.IsRunning()) StartWorker();
    return;
  }
  std::vector<CFileList::Unchecked> notes = WhyNothingToCheck(list, given, path);
  list.Clear();
  for (CFileList::Unchecked& note : notes) list.AddUnchecked(note.path, note.reason);
  ShowUnchecked();
}

UnreadableFolderSink CScanDlg::NoteUnreadable() {
  return [this](const std::filesystem::path& folder, std::error_code error) {
    m_state.m_fileList.AddUnchecked(folder, error.message());
  };
}

void CScanDlg::ShowUnchecked() {
  // The last worker's final news goes out before this report takes the pane.
  if (m_worker.joinable()) m_worker.join();
  CScanReport report;
  for (const CFileList::Unchecked& u : m_state.m_fileList.UncheckedSoFar()) {
    report.AddUnchecked(u.path, u.reason);
  }
  SetLogText({});
  SetLogText(report.Text());
}

void CScanDlg::StartWorker() {
  // A worker still here has cleared m_bRunning: it is past its loop and only posts its
  // last news, which never waits for this thread.
  if (m_worker.joinable()) m_worker.join();
  m_bCancelAsked = false;
  m_cancelEnded.invalidate();
  m_state.PrepareStart();
  try {
    m_worker = std::thread(
        [this, makeTester = m_testerFactory] { ScanThreadProc(m_state, *this, makeTester); });
  } catch (const std::system_error&) {
    m_state.StartFailed();
  }
}

void CScanDlg::OnOK() {
  if (m_state.IsRunning()) {
    m_state.TogglePause();
    UpdateButtons();
    return;
  }
  const QString path = m_editPath->text();
  if (path.isEmpty()) return;
  m_state.m_fileList.Clear();
  {
    CWaitCursor wait;
    ScanFolder(m_state.m_fileList, NativePath(path), NoteUnreadable());
  }
  StartWorker();
}

void CScanDlg::OnCancel() {
  if (m_state.IsRunning()) {
    m_state.RequestCancel();
    m_bCancelAsked = true;
    return;
  }
  NoteScanEnd();
  if (m_cancelEnded.isValid() && m_cancelEnded.elapsed() < kCancelGraceMs) return;
  QDialog::reject();
}

void CScanDlg::NoteScanEnd() {
  if (!m_bCancelAsked || m_state.IsRunning()) return;
  m_bCancelAsked = false;
  m_cancelEnded.start();
}

// Enter and a programmatic accept are the first button; Esc, the close box and reject
// are the second. Neither ends the window while a scan runs.
void CScanDlg::accept() { OnOK(); }
void CScanDlg::reject() { OnCancel(); }

void CScanDlg::OnBrowse() {
  const QString folder = m_chooseFolder(this, QString::fromUtf8(kBrowseTitle));
  if (folder.isEmpty()) return;
  m_editPath->setText(folder);
  // Before the last character, so that the end of a long path shows.
  m_editPath->setCursorPosition(int(m_editPath->text().size()) - 1);
}

void CScanDlg::OnDropFiles(const QMimeData& drop) {
  const QList<QUrl> urls = drop.urls();
  CFileList& list = m_state.m_fileList;
  // Joined, the drop is the running scan's: that scan cannot end before all of it is in.
  // Otherwise the scan is over, however near its end, and the drop begins a new one.
  const bool joined = list.JoinWalk();
  if (!joined) list.Clear();
  CWaitCursor wait;
  for (const QUrl& url : urls) {
    if (url.isLocalFile()) AddGivenPath(list, NativePath(url), NoteUnreadable());
  }
  if (joined) {
    list.LeaveWalk();
  } else if (!list.IsEmpty()) {
    StartWorker();
  } else if (!list.UncheckedSoFar().empty()) {
    ShowUnchecked();
  }
}

void CScanDlg::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void CScanDlg::dropEvent(QDropEvent* e) {
  OnDropFiles(*e->mimeData());
  e->acceptProposedAction();
}

void CScanDlg::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  OnSize();
}

void CScanDlg::OnSize() {
  if (!m_bInitDone || isMinimized()) return;
  const QRect w = geometry();
  const int dx = w.width() - m_rcWindow.width();
  const int dy = w.height() - m_rcWindow.height();
  for (const Anchor& a : kAnchors) {
    const DlgRect r = AnchoredRect(a, m_baseUnits, dx, dy);
    GetDlgItem(a.id)->setGeometry(r.x, r.y, r.cx, r.cy);
  }
  update();
}

void CScanDlg::showEvent(QShowEvent* e) {
  QDialog::showEvent(e);
  OnGetMinMaxInfo();
  if (!m_bFitted) m_fitTimer.start();
}

void CScanDlg::moveEvent(QMoveEvent* e) {
  QDialog::moveEvent(e);
  // The window manager's frame is known only once it has framed the window.
  OnGetMinMaxInfo();
  // Not for the move that showing the window sends before Qt centres it; and only once the
  // window manager has done placing it.
  if (!m_bFitted && isVisible() && frameGeometry() != geometry()) m_fitTimer.start();
}

void CScanDlg::FitInScreen() {
  const QScreen* const where = screen();
  if (where == nullptr) return;
  const QRect area = where->availableGeometry();
  const bool framed = frameGeometry() != geometry();
  if (framed) {
    m_bFitted = true;
  } else if (isVisible() && ++m_nFitTries < kFitTries) {
    // Mapped, but not framed yet: look again shortly.
    m_fitTimer.start();
  }
  const QMargins frame = framed ? QMargins(geometry().left() - frameGeometry().left(),
                                           geometry().top() - frameGeometry().top(),
                                           frameGeometry().right() - geometry().right(),
                                           frameGeometry().bottom() - geometry().bottom())
                                : kGuessedFrame;
  const QSize room = area.marginsRemoved(frame).size();
  const QSize fitted = size().boundedTo(room).expandedTo(minimumSize());
  if (fitted != size()) {
    resize(fitted);
    OnSize();
  }
  if (!framed) return;  // Qt centres the window as it first shows, inside the area
  QRect outer = frameGeometry();
  outer.moveLeft(std::clamp(outer.left(), area.left(),
                            std::max(area.left(), area.right() - outer.width() + 1)));
  outer.moveTop(std::clamp(outer.top(), area.top(),
                           std::max(area.top(), area.bottom() - outer.height() + 1)));
  if (outer.topLeft() != frameGeometry().topLeft()) move(outer.topLeft());
}

void CScanDlg::OnGetMinMaxInfo() {
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize minimum(kMinTrackWidth - frame.width(), kMinTrackHeight - frame.height());
  if (minimumSize() != minimum) setMinimumSize(minimum);
}

void CScanDlg::SetLogText(std::string_view text) { m_mailbox.PostLogText(text); }

void CScanDlg::SetProgress(int64_t value, bool bSetRange) {
  m_mailbox.PostProgress(value, bSetRange);
}

void CScanDlg::UpdateButtons() {
  if (std::this_thread::get_id() != m_uiThread) {
    m_mailbox.PostUpdateButtons();
    return;
  }
  const bool running = m_state.IsRunning();
  m_btnStart->setText(!running              ? QStringLiteral("Start")
                      : !m_state.IsPaused() ? QStringLiteral("Pause")
                                            : QStringLiteral("Continue"));
  m_btnClose->setText(running ? QStringLiteral("Cancel") : QStringLiteral("Close"));
  NoteScanEnd();
}

bool CScanDlg::event(QEvent* e) {
  if (e->type() == kViewUpdateEvent) {
    OnViewUpdate();
    return true;
  }
  if (e->type() == kUrgentViewUpdateEvent) {
    m_viewTimer.stop();
    ApplyView();
    return true;
  }
  return QDialog::event(e);
}

void CScanDlg::OnViewUpdate() {
  if (m_viewTimer.isActive()) return;
  const qint64 since = m_lastView.isValid() ? m_lastView.elapsed() : kViewIntervalMs;
  if (since >= kViewIntervalMs) {
    ApplyView();
  } else {
    m_viewTimer.start(int(kViewIntervalMs - since));
  }
}

void CScanDlg::ApplyView() {
  m_lastView.start();
  CViewMailbox::Update u = m_mailbox.Take();
  if (u.bNewReport) m_editLog->clear();
  if (!u.strAdded.empty()) {
    // One paragraph per report line: "\r" would start another.
    QString added = QString::fromUtf8(u.strAdded.data(), qsizetype(u.strAdded.size()));
    added.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QTextCursor end(m_editLog->document());
    end.movePosition(QTextCursor::End);
    end.insertText(added);
  }
  if (u.bNewReport || !u.strAdded.empty()) {
    QScrollBar* bar = m_editLog->verticalScrollBar();
    bar->setValue(bar->maximum());
  }
  if (u.bRange) m_progress->setRange(0, std::max(1, u.nBarMax));
  if (u.bPosition) m_progress->setValue(u.nBarPos);
  if (u.bButtons) UpdateButtons();
}
