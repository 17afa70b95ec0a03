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
#include <QWindow>
#include <algorithm>
#include <filesystem>
#include <vector>

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

CScanDlg::CScanDlg(QWidget* parent) : QDialog(parent) {
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

// A window torn down mid-scan lets its worker go, before the worker's news has nowhere
// to go.
CScanDlg::~CScanDlg() { m_controller.Shutdown(); }

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
  setAcceptDrops(true);
  m_controller.OnOpen(m_strCmdLine);
  OnGetMinMaxInfo();
  m_rcWindow = geometry();
  m_bInitDone = true;
  FitInScreen();
  m_btnStart->setFocus();
}

// Enter and a programmatic accept are the first button; Esc, the close box and reject
// are the second. Neither ends the window while a scan runs.
void CScanDlg::accept() { OnOK(); }
void CScanDlg::reject() { OnCancel(); }

void CScanDlg::OnOK() { m_controller.OnStart(NativePath(m_editPath->text())); }

void CScanDlg::OnCancel() { m_controller.OnCancel(); }

void CScanDlg::CloseWindow() { QDialog::reject(); }

void CScanDlg::OnBrowse() {
  const QString folder = m_chooseFolder(this, QString::fromUtf8(kBrowseTitle));
  if (folder.isEmpty()) return;
  m_editPath->setText(folder);
  // Before the last character, so that the end of a long path shows.
  m_editPath->setCursorPosition(int(m_editPath->text().size()) - 1);
}

void CScanDlg::OnDropFiles(const QMimeData& drop) {
  std::vector<std::filesystem::path> paths;
  for (const QUrl& url : drop.urls()) {
    if (url.isLocalFile()) paths.push_back(NativePath(url));
  }
  m_controller.OnDrop(paths);
}

void CScanDlg::ShowCollecting(bool busy) {
  if (busy) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QGuiApplication::restoreOverrideCursor();
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
  if (!m_bFitted && isVisible() && !FrameMargins().isNull()) m_fitTimer.start();
}

// Asked of the window system each time: the widget's own record of the frame is taken only
// when the window moves or resizes, and a window manager that frames a window where it
// asked to be never moves it, so that record would say "no frame" for good.
QMargins CScanDlg::FrameMargins() const {
  const QWindow* const handle = windowHandle();
  return handle != nullptr ? handle->frameMargins() : QMargins();
}

void CScanDlg::FitInScreen() {
  const QScreen* const where = screen();
  if (where == nullptr) return;
  const QRect area = where->availableGeometry();
  const QMargins margins = FrameMargins();
  const bool framed = !margins.isNull();
  if (framed) {
    m_bFitted = true;
  } else if (isVisible() && ++m_nFitTries < kFitTries) {
    // Mapped, but not framed yet: look again shortly.
    m_fitTimer.start();
  }
  const QSize room = area.marginsRemoved(framed ? margins : kGuessedFrame).size();
  const QSize fitted = size().boundedTo(room).expandedTo(minimumSize());
  if (fitted != size()) {
    resize(fitted);
    OnSize();
  }
  if (!framed) return;  // Qt centres the window as it first shows, inside the area
  QWindow* const handle = windowHandle();
  QRect outer = handle->frameGeometry();
  outer.moveLeft(std::clamp(outer.left(), area.left(),
                            std::max(area.left(), area.right() - outer.width() + 1)));
  outer.moveTop(std::clamp(outer.top(), area.top(),
                           std::max(area.top(), area.bottom() - outer.height() + 1)));
  if (outer.topLeft() != handle->frameGeometry().topLeft())
    handle->setFramePosition(outer.topLeft());
}

void CScanDlg::OnGetMinMaxInfo() {
  const QMargins margins = FrameMargins();
  const QSize frame(margins.left() + margins.right(), margins.top() + margins.bottom());
  const QSize minimum(kMinTrackWidth - frame.width(), kMinTrackHeight - frame.height());
  if (minimumSize() != minimum) setMinimumSize(minimum);
}

void CScanDlg::RequestView(bool urgent) {
  QCoreApplication::postEvent(this, new QEvent(urgent ? kUrgentViewUpdateEvent : kViewUpdateEvent));
}

void CScanDlg::ShowCaptions(const char* start, const char* close) {
  m_btnStart->setText(QString::fromUtf8(start));
  m_btnClose->setText(QString::fromUtf8(close));
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
  m_controller.ApplyView();
}

void CScanDlg::ShowView(const CViewMailbox::Update& u) {
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
}
