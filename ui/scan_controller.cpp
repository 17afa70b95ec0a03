#include "ui/scan_controller.h"

#include <string>
#include <system_error>
#include <utility>

#include "scan/scan_report.h"
#include "scan/scan_worker.h"

namespace {

// The window shows it is busy for exactly as long as collection runs, however it ends.
class CCollecting {
 public:
  explicit CCollecting(IScanView& view) : m_view(view) { m_view.ShowCollecting(true); }
  ~CCollecting() { m_view.ShowCollecting(false); }
  CCollecting(const CCollecting&) = delete;
  CCollecting& operator=(const CCollecting&) = delete;

 private:
  IScanView& m_view;
};

}  // namespace

CScanController::CScanController(IScanView& view)
    : m_view(view), m_mailbox([this](bool urgent) { m_view.RequestView(urgent); }) {}

CScanController::~CScanController() { Shutdown(); }

void CScanController::Shutdown() {
  if (!m_worker.joinable()) return;
  // The worker's calls never wait for the window, so the join ends after at most one more
  // step.
  m_state.RequestCancel();
  m_worker.join();
}

void CScanController::OnOpen(std::filesystem::path::string_type commandLine) {
  if (commandLine.empty()) return;
  const std::filesystem::path given(commandLine);
  std::erase(commandLine, std::filesystem::path::value_type('"'));
  const std::filesystem::path path(std::move(commandLine));
  CFileList& list = m_state.m_fileList;
  {
    CCollecting busy(m_view);
    AddGivenPath(list, path, NoteUnreadable());
  }
  if (!list.IsEmpty()) {
    StartWorker();
    return;
  }
  ShowNothingToCheck({given}, {path});
}

void CScanController::ShowNothingToCheck(const std::vector<std::filesystem::path>& given,
                                         const std::vector<std::filesystem::path>& collected) {
  CFileList& list = m_state.m_fileList;
  std::vector<CFileList::Unchecked> notes;
  if (list.UncheckedSoFar().empty() || given.size() == 1) {
    for (std::size_t i = 0; i < given.size(); ++i) {
      for (CFileList::Unchecked& note : WhyNothingToCheck(list, given[i], collected[i])) {
        notes.push_back(std::move(note));
      }
    }
  } else {
    notes = list.UncheckedSoFar();
  }
  list.Clear();
  for (CFileList::Unchecked& note : notes) list.AddUnchecked(note.path, note.reason);
  ShowUnchecked();
}

UnreadableFolderSink CScanController::NoteUnreadable() {
  return [this](const std::filesystem::path& folder, std::error_code error) {
    m_state.m_fileList.AddUnchecked(folder, error.message());
  };
}

void CScanController::ShowUnchecked() {
  // The last worker's final news goes out before this report takes the pane.
  if (m_worker.joinable()) m_worker.join();
  CScanReport report;
  for (const CFileList::Unchecked& u : m_state.m_fileList.UncheckedSoFar()) {
    report.AddUnchecked(u.path, u.reason);
  }
  SetLogText({});
  SetLogText(report.Text());
}

void CScanController::StartWorker() {
  // A worker still here has cleared m_bRunning: it is past its loop and only posts its
  // last news, which never waits for this thread.
  if (m_worker.joinable()) m_worker.join();
  m_bCancelAsked = false;
  m_cancelEnded.reset();
  m_state.PrepareStart();
  try {
    m_worker = std::thread(
        [this, makeTester = m_testerFactory] { ScanThreadProc(m_state, *this, makeTester); });
  } catch (const std::system_error&) {
    m_state.StartFailed();
  }
}

void CScanController::OnStart(const std::filesystem::path& folder) {
  if (m_state.IsRunning()) {
    m_state.TogglePause();
    UpdateButtons();
    return;
  }
  if (folder.empty()) return;
  m_state.m_fileList.Clear();
  {
    CCollecting busy(m_view);
    ScanFolder(m_state.m_fileList, folder, NoteUnreadable());
  }
  // "0 files, 0 errors" would read as a pass: a folder that yields nothing says why.
  if (m_state.m_fileList.IsEmpty()) {
    ShowNothingToCheck({folder}, {folder});
    return;
  }
  StartWorker();
}

void CScanController::OnCancel() {
  if (m_state.IsRunning()) {
    m_state.RequestCancel();
    m_bCancelAsked = true;
    return;
  }
  NoteScanEnd();
  if (m_cancelEnded && m_clock() - *m_cancelEnded < std::chrono::milliseconds(kCancelGraceMs)) {
    return;
  }
  m_view.CloseWindow();
}

void CScanController::NoteScanEnd() {
  if (!m_bCancelAsked || m_state.IsRunning()) return;
  m_bCancelAsked = false;
  m_cancelEnded = m_clock();
}

void CScanController::OnDrop(const std::vector<std::filesystem::path>& paths) {
  CFileList& list = m_state.m_fileList;
  // Joined, the drop is the running scan's: that scan cannot end before all of it is in.
  // Otherwise the scan is over, however near its end, and the drop begins a new one.
  const bool joined = list.JoinWalk();
  if (!joined) list.Clear();
  {
    CCollecting busy(m_view);
    for (const std::filesystem::path& path : paths) AddGivenPath(list, path, NoteUnreadable());
  }
  if (joined) {
    list.LeaveWalk();
  } else if (!list.IsEmpty()) {
    StartWorker();
  } else {
    // The report answers this drop: the last scan's must not stand as its answer.
    ShowNothingToCheck(paths, paths);
  }
}

void CScanController::SetLogText(std::string_view text) { m_mailbox.PostLogText(text); }

void CScanController::SetProgress(int64_t value, bool bSetRange) {
  m_mailbox.PostProgress(value, bSetRange);
}

void CScanController::UpdateButtons() {
  if (std::this_thread::get_id() != m_uiThread) {
    m_mailbox.PostUpdateButtons();
    return;
  }
  const bool running = m_state.IsRunning();
  m_view.ShowCaptions(!running              ? "Start"
                      : !m_state.IsPaused() ? "Pause"
                                            : "Continue",
                      running ? "Cancel" : "Close");
  NoteScanEnd();
}

void CScanController::ApplyView() {
  const CViewMailbox::Update update = m_mailbox.Take();
  m_view.ShowView(update);
  if (update.bButtons) UpdateButtons();
}
