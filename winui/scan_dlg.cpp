#include "winui/scan_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/path_bytes.h"
#include "platform/win32_text.h"
#include "resource.h"

namespace {

// The worker's news is waiting in the mailbox; wParam 1 when it changes the captions.
constexpr UINT kViewUpdateMessage = WM_APP + 1;
constexpr UINT_PTR kViewTimer = 1;
// Twenty refreshes a second look live; more would take time from the decoding.
constexpr ULONGLONG kViewIntervalMs = 50;
// The dialog manager has scaled the dialog to a new DPI: lay it out again from there.
constexpr UINT kRelayoutMessage = WM_APP + 2;

std::wstring Wide(std::string_view utf8) { return WidePath(utf8); }

int Width(const RECT& r) { return r.right - r.left; }
int Height(const RECT& r) { return r.bottom - r.top; }

// The names screen readers give the controls that carry no caption of their own, as the
// Linux window gives them: Windows' accessibility takes an edit control's or a progress
// bar's name from the static text just before it in the z-order, here a hidden one.
constexpr struct {
  int id;
  const wchar_t* name;
} kHiddenLabels[] = {
    {IDC_PATH, L"Folder to check"},
    {IDC_LOG, L"Report: a line for each file checked, then the summary. F6 moves here."},
    {IDC_PROGRESS, L"Progress of the file being checked"},
};

// The keys the dialog manager gives no meaning in the report: F6 moves to it from anywhere
// in the window (it has no tab stop, as in the template); in it, Tab and Shift+Tab move on,
// which a multi-line edit control would otherwise keep, and Ctrl+A selects the whole
// report. The modal loop hands each message here before the dialog manager sees it.
HHOOK g_keyHook = nullptr;
HWND g_keyDialog = nullptr;

LRESULT CALLBACK KeyFilter(int code, WPARAM wParam, LPARAM lParam) {
  auto* msg = reinterpret_cast<MSG*>(lParam);
  if (code == MSGF_DIALOGBOX && g_keyDialog != nullptr &&
      (msg->hwnd == g_keyDialog || ::IsChild(g_keyDialog, msg->hwnd))) {
    const HWND log = ::GetDlgItem(g_keyDialog, IDC_LOG);
    if (msg->message == WM_KEYDOWN && msg->wParam == VK_F6) {
      ::SendMessageW(g_keyDialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(log), TRUE);
      return TRUE;
    }
    if (msg->hwnd == log && msg->message == WM_KEYDOWN && msg->wParam == VK_TAB) {
      const bool back = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
      ::SendMessageW(g_keyDialog, WM_NEXTDLGCTL, back ? 1 : 0, FALSE);
      return TRUE;
    }
    // Ctrl+A arrives as the character 1 once translated.
    if (msg->hwnd == log && msg->message == WM_CHAR && msg->wParam == 1) {
      ::SendMessageW(log, EM_SETSEL, 0, -1);
      return TRUE;
    }
  }
  return ::CallNextHookEx(g_keyHook, code, wParam, lParam);
}

}  // namespace

CScanDlg::CScanDlg() {
  const HINSTANCE instance = ::GetModuleHandleW(nullptr);
  m_hIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            ::GetSystemMetrics(SM_CXICON),
                                            ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  // The small icon from its own 16-pixel picture, not the big one squeezed.
  m_hSmallIcon = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                 IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                 ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

CScanDlg::~CScanDlg() {
  // A window closed mid-scan (only a shutdown can do that) lets its worker go.
  m_controller.Shutdown();
  if (m_hIcon != nullptr) ::DestroyIcon(m_hIcon);
  if (m_hSmallIcon != nullptr) ::DestroyIcon(m_hSmallIcon);
}

INT_PTR CScanDlg::DoModal() {
  return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr,
                           &CScanDlg::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CScanDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CScanDlg*>(lParam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->m_hWnd.store(hwnd);
  }
  auto* self = reinterpret_cast<CScanDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  return self->OnMessage(msg, wParam, lParam);
}

INT_PTR CScanDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  const HWND hwnd = m_hWnd.load();
  switch (msg) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: OnOK(); return TRUE;
        case IDCANCEL: OnCancel(); return TRUE;
        case IDC_BROWSE:
          if (HIWORD(wParam) == BN_CLICKED) OnBrowse();
          return TRUE;
        default: return FALSE;
      }
    case WM_PAINT:
      if (!::IsIconic(hwnd)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(m_hIcon));
      return TRUE;
    case WM_SIZE: OnSize(static_cast<UINT>(wParam)); return FALSE;
    case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wParam)); return TRUE;
    case WM_GETMINMAXINFO: OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam)); return TRUE;
    case WM_DPICHANGED:
      // Moved to another monitor's DPI: the dialog manager (per-monitor v2) scales the
      // font and the window to the suggested rectangle; then the layout starts from the
      // template at the new base units.
      ::PostMessageW(hwnd, kRelayoutMessage, 0, 0);
      return FALSE;
    case kRelayoutMessage:
      MeasureBaseUnits();
      OnSize(SIZE_RESTORED);
      return TRUE;
    case kViewUpdateMessage: OnViewUpdate(wParam != 0); return TRUE;
    case WM_TIMER:
      if (wParam != kViewTimer) return FALSE;
      ::KillTimer(hwnd, kViewTimer);
      m_bViewTimer = false;
      ApplyView();
      return TRUE;
    case WM_DESTROY:
      // From here on the worker's news goes nowhere.
      m_hWnd.store(nullptr);
      if (g_keyHook != nullptr) ::UnhookWindowsHookEx(g_keyHook);
      g_keyHook = nullptr;
      g_keyDialog = nullptr;
      return FALSE;
    default: return FALSE;
  }
}

void CScanDlg::DoDataExchange() {
  const HWND hwnd = m_hWnd.load();
  m_btnStart = ::GetDlgItem(hwnd, IDOK);
  m_btnClose = ::GetDlgItem(hwnd, IDCANCEL);
  m_editPath = ::GetDlgItem(hwnd, IDC_PATH);
  m_btnBrowse = ::GetDlgItem(hwnd, IDC_BROWSE);
  m_editLog = ::GetDlgItem(hwnd, IDC_LOG);
  m_progress = ::GetDlgItem(hwnd, IDC_PROGRESS);
}

BOOL CScanDlg::OnInitDialog() {
  const HWND hwnd = m_hWnd.load();
  DoDataExchange();
  ::SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  ::SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(m_hSmallIcon != nullptr ? m_hSmallIcon : m_hIcon));
  UINT tabStop = static_cast<UINT>(LogTabStopUnits());
  ::SendMessageW(m_editLog, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));
  // The edit control's default limit is 32767 characters; a report of a few hundred files
  // is longer, and the pane would silently stop growing.
  ::SendMessageW(m_editLog, EM_SETLIMITTEXT, 0, 0);
  MeasureBaseUnits();
  AddHiddenLabels();
  g_keyDialog = hwnd;
  g_keyHook = ::SetWindowsHookExW(WH_MSGFILTER, KeyFilter, nullptr, ::GetCurrentThreadId());
  ::DragAcceptFiles(hwnd, TRUE);
  m_bInitDone = true;
  // Plain Win32 places a dialog at its template's (0, 0) and its size, which at a high DPI
  // can be larger than the screen; the window opens centred, inside the work area.
  FitInWorkArea();
  m_controller.OnOpen(m_strCmdLine);
  return TRUE;
}

void CScanDlg::AddHiddenLabels() {
  const HWND hwnd = m_hWnd.load();
  for (const auto& label : kHiddenLabels) {
    const HWND control = ::GetDlgItem(hwnd, label.id);
    const HWND hidden = ::CreateWindowExW(0, L"STATIC", nullptr, WS_CHILD | SS_LEFT, 0, 0, 0, 0,
                                          hwnd, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (hidden == nullptr) continue;
    ::SetWindowTextW(hidden, label.name);
    const HWND before = ::GetWindow(control, GW_HWNDPREV);
    ::SetWindowPos(hidden, before != nullptr ? before : HWND_TOP, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
}

void CScanDlg::MeasureBaseUnits() {
  // The dialog manager made the font at the window's DPI: its base units are that DPI's.
  RECT units{0, 0, 4, 8};
  ::MapDialogRect(m_hWnd.load(), &units);
  m_baseUnits = {units.right, units.bottom};
}

bool CScanDlg::WorkArea(RECT& area) const {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (!::GetMonitorInfoW(::MonitorFromWindow(m_hWnd.load(), MONITOR_DEFAULTTOPRIMARY), &monitor)) {
    return false;
  }
  area = monitor.rcWork;
  return true;
}

void CScanDlg::FitInWorkArea() {
  const HWND hwnd = m_hWnd.load();
  RECT area{};
  RECT w{};
  RECT client{};
  if (WorkArea(area) && ::GetWindowRect(hwnd, &w) && ::GetClientRect(hwnd, &client)) {
    const WindowSize frame{Width(w) - Width(client), Height(w) - Height(client)};
    const WindowSize size = OpeningClient(m_baseUnits, frame, {Width(area), Height(area)},
                                          static_cast<int>(::GetDpiForWindow(hwnd)));
    ::SetWindowPos(hwnd, nullptr, 0, 0, size.cx + frame.cx, size.cy + frame.cy,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  CentreOnWorkArea();
}

void CScanDlg::CentreOnWorkArea() {
  const HWND hwnd = m_hWnd.load();
  RECT area{};
  if (!WorkArea(area)) return;
  RECT w{};
  ::GetWindowRect(hwnd, &w);
  const int x = area.left + std::max(0, (Width(area) - Width(w)) / 2);
  const int y = area.top + std::max(0, (Height(area) - Height(w)) / 2);
  ::SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CScanDlg::OnOK() {
  std::wstring path(static_cast<std::size_t>(::GetWindowTextLengthW(m_editPath)) + 1, L'\0');
  path.resize(static_cast<std::size_t>(
      ::GetWindowTextW(m_editPath, path.data(), static_cast<int>(path.size()))));
  m_controller.OnStart(std::filesystem::path(path));
}

void CScanDlg::OnCancel() { m_controller.OnCancel(); }

void CScanDlg::CloseWindow() { ::EndDialog(m_hWnd.load(), IDCANCEL); }

void CScanDlg::OnBrowse() {
  wchar_t buffer[MAX_PATH] = {};
  const std::wstring title = Wide(BrowseTitle());
  BROWSEINFOW request{};
  request.hwndOwner = m_hWnd.load();
  request.pidlRoot = nullptr;
  request.pszDisplayName = buffer;
  request.lpszTitle = title.c_str();
  request.ulFlags = BIF_EDITBOX;
  PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&request);
  if (chosen != nullptr && ::SHGetPathFromIDListW(chosen, buffer) && buffer[0] != L'\0') {
    ::SetWindowTextW(m_editPath, buffer);
    const LRESULT n = ::SendMessageW(m_editPath, EM_LINELENGTH, static_cast<WPARAM>(-1), 0);
    // Before the last character, so that the end of a long path shows.
    ::SendMessageW(m_editPath, EM_SETSEL, static_cast<WPARAM>(n - 1), n - 1);
    ::SendMessageW(m_editPath, EM_SCROLLCARET, 0, 0);
  }
  IMalloc* allocator = nullptr;
  if (SUCCEEDED(::SHGetMalloc(&allocator)) && allocator != nullptr) {
    if (chosen != nullptr) allocator->Free(chosen);
    allocator->Release();
  }
}

void CScanDlg::OnDropFiles(HDROP drop) {
  const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  std::vector<std::filesystem::path> paths;
  for (UINT i = 0; i < count; ++i) {
    // Asked for its length first: a name past MAX_PATH is still the whole name.
    const UINT length = ::DragQueryFileW(drop, i, nullptr, 0);
    if (length == 0) continue;
    std::wstring name(length + 1, L'\0');
    name.resize(::DragQueryFileW(drop, i, name.data(), length + 1));
    if (!name.empty()) paths.emplace_back(std::move(name));
  }
  ::DragFinish(drop);
  m_controller.OnDrop(paths);
}

void CScanDlg::ShowCollecting(bool busy) {
  if (busy) {
    m_hCursorBefore = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
  } else {
    ::SetCursor(m_hCursorBefore);
  }
}

void CScanDlg::OnSize(UINT type) {
  if (!m_bInitDone || type == SIZE_MINIMIZED) return;
  const HWND hwnd = m_hWnd.load();
  RECT client{};
  ::GetClientRect(hwnd, &client);
  const WindowSize opened = TemplateClientSize(m_baseUnits);
  const int dx = Width(client) - opened.cx;
  const int dy = Height(client) - opened.cy;
  // A report that shows its end (the caret where updates leave it, at the start of the
  // last line) still shows it at the new size: the edit control keeps its top line.
  DWORD from = 0;
  DWORD to = 0;
  ::SendMessageW(m_editLog, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                 reinterpret_cast<LPARAM>(&to));
  const LRESULT lines = ::SendMessageW(m_editLog, EM_GETLINECOUNT, 0, 0);
  const bool atEnd =
      from == to && static_cast<LRESULT>(from) ==
                        ::SendMessageW(m_editLog, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  PlacedControl placed[kPlacedControls];
  PlaceControls(m_baseUnits, dx, dy, placed);
  for (const PlacedControl& p : placed) {
    // A control has no size below zero; the next layout starts from the template anyway.
    ::MoveWindow(::GetDlgItem(hwnd, p.id), p.rect.x, p.rect.y, std::max(0, p.rect.cx),
                 std::max(0, p.rect.cy), FALSE);
  }
  if (atEnd) ::SendMessageW(m_editLog, EM_SCROLLCARET, 0, 0);
  ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CScanDlg::OnGetMinMaxInfo(MINMAXINFO* info) const {
  const HWND hwnd = m_hWnd.load();
  RECT area{};
  if (hwnd == nullptr || !WorkArea(area)) return;
  const WindowSize least =
      MinTrack(static_cast<int>(::GetDpiForWindow(hwnd)), {Width(area), Height(area)});
  info->ptMinTrackSize.x = least.cx;
  info->ptMinTrackSize.y = least.cy;
}

void CScanDlg::OnPaint() {
  const HWND hwnd = m_hWnd.load();
  PAINTSTRUCT paint{};
  const HDC dc = ::BeginPaint(hwnd, &paint);
  ::SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cxIcon = ::GetSystemMetrics(SM_CXICON);
  const int cyIcon = ::GetSystemMetrics(SM_CYICON);
  RECT client{};
  ::GetClientRect(hwnd, &client);
  ::DrawIcon(dc, (Width(client) - cxIcon + 1) / 2, (Height(client) - cyIcon + 1) / 2, m_hIcon);
  ::EndPaint(hwnd, &paint);
}

void CScanDlg::RequestView(bool urgent) {
  // A closed window drops the news: nobody is left to show it.
  if (const HWND hwnd = m_hWnd.load()) {
    ::PostMessageW(hwnd, kViewUpdateMessage, urgent ? 1 : 0, 0);
  }
}

void CScanDlg::ShowCaptions(const char* start, const char* close) {
  ::SetWindowTextW(m_btnStart, Wide(start).c_str());
  ::SetWindowTextW(m_btnClose, Wide(close).c_str());
}

void CScanDlg::OnViewUpdate(bool urgent) {
  const HWND hwnd = m_hWnd.load();
  if (urgent) {
    if (m_bViewTimer) ::KillTimer(hwnd, kViewTimer);
    m_bViewTimer = false;
    ApplyView();
    return;
  }
  if (m_bViewTimer) return;
  const ULONGLONG since = ::GetTickCount64() - m_lastView;
  if (since >= kViewIntervalMs) {
    ApplyView();
  } else {
    m_bViewTimer =
        ::SetTimer(hwnd, kViewTimer, static_cast<UINT>(kViewIntervalMs - since), nullptr) != 0;
    if (!m_bViewTimer) ApplyView();
  }
}

void CScanDlg::AppendLog(std::string_view utf8) {
  const std::wstring added = Wide(utf8);
  const int end = ::GetWindowTextLengthW(m_editLog);
  ::SendMessageW(m_editLog, EM_SETSEL, static_cast<WPARAM>(end), end);
  ::SendMessageW(m_editLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
}

void CScanDlg::ShowLastLine() {
  // The caret at the start of the last line, scrolled into view: the pane ends with its
  // last line at the bottom, not alone at the top of a blank pane (as scrolling by the line
  // count left it), and scrolled fully left, so a line wider than the pane never hides its
  // "[n/N]" (the caret at the end of the text scrolled the pane sideways on every line).
  const LRESULT lines = ::SendMessageW(m_editLog, EM_GETLINECOUNT, 0, 0);
  const LRESULT start = ::SendMessageW(m_editLog, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  ::SendMessageW(m_editLog, EM_SETSEL, static_cast<WPARAM>(start), start);
  ::SendMessageW(m_editLog, EM_SCROLLCARET, 0, 0);
}

void CScanDlg::ApplyView() {
  m_lastView = ::GetTickCount64();
  m_controller.ApplyView();
}

void CScanDlg::ShowView(const CViewMailbox::Update& u) {
  if (u.bNewReport || !u.strAdded.empty()) {
    // Drawn once, whole, after the update: the edit control scrolls by copying what it
    // shows and drawing only the new line, and under many lines (seen under Wine) the copy
    // left old lines on the screen, repeated, and finished lines without their "OK"
    // although the control's text held them.
    ::SendMessageW(m_editLog, WM_SETREDRAW, FALSE, 0);
    if (u.bNewReport) ::SetWindowTextW(m_editLog, L"");
    if (!u.strAdded.empty()) AppendLog(u.strAdded);
    ShowLastLine();
    ::SendMessageW(m_editLog, WM_SETREDRAW, TRUE, 0);
    ::RedrawWindow(m_editLog, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
  }
  if (u.bRange) ::SendMessageW(m_progress, PBM_SETRANGE32, 0, std::max(1, u.nBarMax));
  if (u.bPosition) ::SendMessageW(m_progress, PBM_SETPOS, static_cast<WPARAM>(u.nBarPos), 0);
}
