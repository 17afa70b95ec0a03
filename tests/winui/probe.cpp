// harrowbit-probe.exe: reads and drives the running Harrowbit window from outside, the
// way a user's actions reach it (posted commands, keys, drops, sizes), for the Wine scenes
// of scripts/test-windows-ui.sh. Reads what the controls hold, never pixels.
//
//   find MS                     wait up to MS for the window; exit 1 if it does not show
//   gone MS                     wait up to MS for the window to close
//   dump                        print the window's state, one key=value a line
//   layout                      print "layout ok" or each control away from the template
//   wait-text ID TEXT MS        wait until control ID's text is TEXT (IDs: 1, 2, 1004...)
//   wait-log TEXT MS            wait until the log pane's text contains TEXT
//   click ID | esc | enter | close   the button, the Esc or Enter key, the close box
//   size W H | show max|min|restore
//   browse MS [FOLDER]          open Browse, print the folder browser's texts, then type
//                               FOLDER into it and press OK, or press Cancel
//   view                        where the report's last file line and summary stand in the
//                               pane: "line.last=I x,y" (client pixels, -1 when not in view)
//   char CODE                   post the character CODE (1 for Ctrl+A) to the focused control
//   window TITLE ID MS          wait for a window titled TITLE with a control ID (the
//                               installer's pages, its questions); print its visible controls
//   press TITLE ID COMMAND      in that window, the button COMMAND (1 Next, 2 Cancel, 6 Yes...)
//   sleep MS
// Several commands may follow each other, separated by "+": one Wine start for all of them.
// Drops come from tests/winui/xdnd_drop.c instead: an HDROP means nothing in another process.

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// These build on windows.h.
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf16.h"
#include "resource.h"
#include "winui/template_layout.h"

namespace {

std::string Utf8(const std::wstring& wide) {
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
}

std::wstring Wide(const char* utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::wstring(wide.begin(), wide.end());
}

void Print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

struct FindData {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindHarrowbit(HWND hwnd, LPARAM param) {
  auto* data = reinterpret_cast<FindData*>(param);
  wchar_t cls[64] = {};
  wchar_t title[64] = {};
  ::GetClassNameW(hwnd, cls, 64);
  ::GetWindowTextW(hwnd, title, 64);
  if (std::wcscmp(cls, L"#32770") == 0 && std::wcscmp(title, L"Harrowbit") == 0 &&
      ::IsWindowVisible(hwnd)) {
    data->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND FindWindowOnce() {
  FindData data{0, nullptr};
  ::EnumWindows(FindHarrowbit, reinterpret_cast<LPARAM>(&data));
  return data.found;
}

HWND WaitWindow(DWORD ms) {
  const ULONGLONG until = ::GetTickCount64() + ms;
  for (;;) {
    if (const HWND hwnd = FindWindowOnce()) return hwnd;
    if (::GetTickCount64() > until) return nullptr;
    ::Sleep(50);
  }
}

std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
    return L"<no answer>";
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

RECT ClientRectOf(HWND dialog, HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

const int kIds[] = {IDOK, IDCANCEL, IDC_PATH, IDC_BROWSE, IDC_LOG, IDC_PROGRESS};

// The template as this machine lays it out: a hidden copy of the dialog, made from the
// same resource, gives the base units and the size the window opens with.
struct TemplateMetrics {
  DialogBaseUnits units{};
  SIZE window{};
};

INT_PTR CALLBACK QuietProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

bool MeasureTemplate(TemplateMetrics& metrics) {
  const HINSTANCE self = ::GetModuleHandleW(nullptr);
  const HRSRC found = ::FindResourceW(self, MAKEINTRESOURCEW(IDD_MAIN), MAKEINTRESOURCEW(5));
  if (found == nullptr) return false;
  const DWORD size = ::SizeofResource(self, found);
  const auto* bytes =
      static_cast<const unsigned char*>(::LockResource(::LoadResource(self, found)));
  std::vector<unsigned char> copy(bytes, bytes + size);
  // DLGTEMPLATEEX: version, signature, help id, extended style, then the style.
  DWORD style = 0;
  std::memcpy(&style, copy.data() + 12, sizeof style);
  style &= ~static_cast<DWORD>(WS_VISIBLE);
  std::memcpy(copy.data() + 12, &style, sizeof style);
  const HWND hidden = ::CreateDialogIndirectParamW(
      self, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), nullptr, QuietProc, 0);
  if (hidden == nullptr) return false;
  RECT units{0, 0, 4, 8};
  ::MapDialogRect(hidden, &units);
  RECT w{};
  ::GetWindowRect(hidden, &w);
  metrics.units = {units.right, units.bottom};
  metrics.window = {w.right - w.left, w.bottom - w.top};
  ::DestroyWindow(hidden);
  return true;
}

int Layout(HWND hwnd, bool say = true) {
  TemplateMetrics t;
  if (!MeasureTemplate(t)) {
    if (say) Print("layout: cannot measure the template");
    return 1;
  }
  // The growth of the client area beyond the template's at the window's base units: a
  // window that opened smaller than the template (at a high DPI on a small screen) has
  // grown by less than nothing.
  RECT client{};
  ::GetClientRect(hwnd, &client);
  const WindowSize opened = TemplateClientSize(t.units);
  const int dx = client.right - opened.cx;
  const int dy = client.bottom - opened.cy;
  PlacedControl placed[kPlacedControls];
  PlaceControls(t.units, dx, dy, placed);
  int bad = 0;
  for (const PlacedControl& p : placed) {
    const RECT r = ClientRectOf(hwnd, ::GetDlgItem(hwnd, p.id));
    const int cx = p.rect.cx < 0 ? 0 : p.rect.cx;
    const int cy = p.rect.cy < 0 ? 0 : p.rect.cy;
    if (r.left != p.rect.x || r.top != p.rect.y || r.right - r.left != cx ||
        r.bottom - r.top != cy) {
      char line[200];
      std::snprintf(line, sizeof line, "control %d at %ld,%ld %ldx%ld, template says %d,%d %dx%d",
                    p.id, r.left, r.top, r.right - r.left, r.bottom - r.top, p.rect.x, p.rect.y, cx,
                    cy);
      if (say) Print(line);
      ++bad;
    }
  }
  char line[160];
  std::snprintf(line, sizeof line, "growth %d,%d base units %d,%d", dx, dy, t.units.cx, t.units.cy);
  if (say) {
    Print(line);
    Print(bad == 0 ? "layout ok" : "layout off");
  }
  return bad == 0 ? 0 : 1;
}

// The control of the window's thread that has the keyboard focus; 0 for none.
int FocusedId(HWND hwnd) {
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  ::GetGUIThreadInfo(::GetWindowThreadProcessId(hwnd, nullptr), &gui);
  return gui.hwndFocus != nullptr ? ::GetDlgCtrlID(gui.hwndFocus) : 0;
}

int Dump(HWND hwnd) {
  char line[256];
  Print("title=" + Utf8(TextOf(hwnd)));
  RECT w{};
  ::GetWindowRect(hwnd, &w);
  std::snprintf(line, sizeof line, "window=%ld,%ld %ldx%ld", w.left, w.top, w.right - w.left,
                w.bottom - w.top);
  Print(line);
  HMONITOR monitor = ::MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  ::GetMonitorInfoW(monitor, &mi);
  std::snprintf(line, sizeof line, "workarea=%ld,%ld %ldx%ld", mi.rcWork.left, mi.rcWork.top,
                mi.rcWork.right - mi.rcWork.left, mi.rcWork.bottom - mi.rcWork.top);
  Print(line);
  // The icons: Wine does not answer WM_GETICON across processes; the window manager
  // reads them (_NET_WM_ICON), see scripts/test-windows-ui.sh.
  for (const int id : kIds) {
    const HWND c = ::GetDlgItem(hwnd, id);
    wchar_t cls[64] = {};
    ::GetClassNameW(c, cls, 64);
    const RECT r = ClientRectOf(hwnd, c);
    std::snprintf(line, sizeof line, "control.%d class=%s style=0x%08lx rect=%ld,%ld %ldx%ld", id,
                  Utf8(cls).c_str(), static_cast<unsigned long>(::GetWindowLongW(c, GWL_STYLE)),
                  r.left, r.top, r.right - r.left, r.bottom - r.top);
    Print(line);
  }
  Print("start=" + Utf8(TextOf(::GetDlgItem(hwnd, IDOK))));
  Print("close=" + Utf8(TextOf(::GetDlgItem(hwnd, IDCANCEL))));
  Print("path=" + Utf8(TextOf(::GetDlgItem(hwnd, IDC_PATH))));
  const HWND bar = ::GetDlgItem(hwnd, IDC_PROGRESS);
  std::snprintf(line, sizeof line, "progress=%ld of %ld",
                static_cast<long>(::SendMessageW(bar, PBM_GETPOS, 0, 0)),
                static_cast<long>(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0)));
  Print(line);
  std::snprintf(line, sizeof line, "focus=%d", FocusedId(hwnd));
  Print(line);
  // What screen readers name each control by: the static text just before it.
  for (const int id : kIds) {
    const HWND before = ::GetWindow(::GetDlgItem(hwnd, id), GW_HWNDPREV);
    wchar_t cls[32] = {};
    if (before != nullptr) ::GetClassNameW(before, cls, 32);
    if (_wcsicmp(cls, L"Static") != 0) continue;
    std::snprintf(line, sizeof line, "label.%d=%s%s", id, Utf8(TextOf(before)).c_str(),
                  ::IsWindowVisible(before) ? "" : " (hidden)");
    Print(line);
  }
  std::snprintf(line, sizeof line, "dpi=%u", ::GetDpiForWindow(hwnd));
  Print(line);
  DWORD from = 0;
  DWORD to = 0;
  ::SendMessageW(::GetDlgItem(hwnd, IDC_LOG), EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                 reinterpret_cast<LPARAM>(&to));
  std::snprintf(line, sizeof line, "selection=%lu,%lu", static_cast<unsigned long>(from),
                static_cast<unsigned long>(to));
  Print(line);
  Print("log<<");
  std::wstring log = TextOf(::GetDlgItem(hwnd, IDC_LOG));
  std::wstring unix;
  for (const wchar_t ch : log) {
    if (ch != L'\r') unix += ch;
  }
  Print(Utf8(unix));
  Print(">>log");
  return 0;
}

// Where the first character of line `index` of the report stands in the pane's client
// area; "-1,-1" when it is out of view.
std::string PlaceOfLine(HWND log, LRESULT index) {
  RECT client{};
  ::GetClientRect(log, &client);
  const LRESULT at = ::SendMessageW(log, EM_LINEINDEX, static_cast<WPARAM>(index), 0);
  const LRESULT pos = ::SendMessageW(log, EM_POSFROMCHAR, static_cast<WPARAM>(at), 0);
  const int x = static_cast<short>(LOWORD(pos));
  const int y = static_cast<short>(HIWORD(pos));
  char text[64];
  const bool seen = pos != -1 && x >= 0 && y >= 0 && x < client.right && y < client.bottom;
  std::snprintf(text, sizeof text, "%d,%d", seen ? x : -1, seen ? y : -1);
  return text;
}

// The report's last file line ("[n/N]...") and its summary: are they in view, from their
// first character?
struct ReportView {
  LRESULT lines = 0;
  LRESULT first = 0;
  LRESULT lastFile = -1;
  LRESULT summary = -1;
  std::string lastFileAt;
  std::string summaryAt;
};

ReportView ViewOf(HWND hwnd) {
  const HWND log = ::GetDlgItem(hwnd, IDC_LOG);
  const std::wstring text = TextOf(log);
  ReportView view;
  for (std::size_t start = 0; start <= text.size(); ++view.lines) {
    std::size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring_view lineText(text.data() + start, end - start);
    if (lineText.starts_with(L"[")) view.lastFile = view.lines;
    if (lineText.find(L" files, ") != std::wstring_view::npos) view.summary = view.lines;
    start = end + 2;
  }
  view.first = ::SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0);
  if (view.lastFile >= 0) view.lastFileAt = PlaceOfLine(log, view.lastFile);
  if (view.summary >= 0) view.summaryAt = PlaceOfLine(log, view.summary);
  return view;
}

int View(HWND hwnd) {
  const ReportView view = ViewOf(hwnd);
  char line[200];
  std::snprintf(line, sizeof line, "lines=%ld first=%ld", static_cast<long>(view.lines),
                static_cast<long>(view.first));
  Print(line);
  if (view.lastFile >= 0)
    Print("line.last=" + std::to_string(view.lastFile) + " " + view.lastFileAt);
  if (view.summary >= 0)
    Print("line.summary=" + std::to_string(view.summary) + " " + view.summaryAt);
  return 0;
}

struct TitledFind {
  std::wstring title;
  int id;
  HWND found;
};

BOOL CALLBACK FindTitled(HWND hwnd, LPARAM param) {
  auto* data = reinterpret_cast<TitledFind*>(param);
  // NSIS ends its caption with a blank.
  std::wstring title = TextOf(hwnd);
  while (!title.empty() && title.back() == L' ') title.pop_back();
  if (::IsWindowVisible(hwnd) && title == data->title && ::GetDlgItem(hwnd, data->id) != nullptr) {
    data->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

HWND FindTitledWindow(const char* title, int id) {
  TitledFind data{Wide(title), id, nullptr};
  ::EnumWindows(FindTitled, reinterpret_cast<LPARAM>(&data));
  return data.found;
}

// Every visible control of a window, nested pages included: id, class, left edge, text.
BOOL CALLBACK PrintControl(HWND child, LPARAM top) {
  if (!::IsWindowVisible(child)) return TRUE;
  wchar_t cls[64] = {};
  ::GetClassNameW(child, cls, 64);
  const RECT r = ClientRectOf(reinterpret_cast<HWND>(top), child);
  char line[128];
  std::snprintf(
      line, sizeof line, "child id=%d class=%s x=%ld style=0x%08lx text=", ::GetDlgCtrlID(child),
      Utf8(cls).c_str(), r.left, static_cast<unsigned long>(::GetWindowLongW(child, GWL_STYLE)));
  std::wstring text = TextOf(child);
  for (wchar_t& ch : text) {
    if (ch == L'\r' || ch == L'\n') ch = L' ';
  }
  Print(line + Utf8(text.substr(0, 200)));
  return TRUE;
}

bool WaitFor(DWORD ms, auto condition);

int Window(const char* title, int id, DWORD ms) {
  HWND found = nullptr;
  if (!WaitFor(ms, [&] { return (found = FindTitledWindow(title, id)) != nullptr; })) {
    Print(std::string("no window \"") + title + "\" with control " + std::to_string(id));
    return 1;
  }
  ::Sleep(300);
  ::EnumChildWindows(found, PrintControl, reinterpret_cast<LPARAM>(found));
  return 0;
}

bool WaitFor(DWORD ms, auto condition) {
  const ULONGLONG until = ::GetTickCount64() + ms;
  for (;;) {
    if (condition()) return true;
    if (::GetTickCount64() > until) return false;
    ::Sleep(50);
  }
}

struct BrowseFind {
  HWND owner;
  HWND found;
};

BOOL CALLBACK FindOwned(HWND hwnd, LPARAM param) {
  auto* data = reinterpret_cast<BrowseFind*>(param);
  if (::GetWindow(hwnd, GW_OWNER) == data->owner && ::IsWindowVisible(hwnd)) {
    data->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK PrintChildText(HWND child, LPARAM editFound) {
  const std::wstring text = TextOf(child);
  if (!text.empty()) Print("text=" + Utf8(text));
  wchar_t cls[32] = {};
  ::GetClassNameW(child, cls, 32);
  if (std::wcscmp(cls, L"Edit") == 0) *reinterpret_cast<HWND*>(editFound) = child;
  return TRUE;
}

// Opens Browse and prints the folder browser's texts; then types `folder` into its edit
// box and presses OK, or with no folder presses Cancel.
int Browse(HWND hwnd, DWORD ms, const char* folder) {
  ::PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_BROWSE, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(hwnd, IDC_BROWSE)));
  BrowseFind data{hwnd, nullptr};
  const bool shown = WaitFor(ms, [&] {
    data.found = nullptr;
    ::EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&data));
    return data.found != nullptr;
  });
  if (!shown) {
    Print("no folder browser");
    return 1;
  }
  ::Sleep(300);
  Print("browser=" + Utf8(TextOf(data.found)));
  HWND edit = nullptr;
  ::EnumChildWindows(data.found, PrintChildText, reinterpret_cast<LPARAM>(&edit));
  if (folder == nullptr) {
    ::PostMessageW(data.found, WM_COMMAND, IDCANCEL, 0);
    return 0;
  }
  if (edit == nullptr) {
    Print("the folder browser has no edit box");
    return 1;
  }
  const std::wstring wide = Wide(folder);
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &ignored);
  ::PostMessageW(data.found, WM_COMMAND, IDOK, 0);
  return 0;
}

int RunOne(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string command = argv[1];
  if (command == "sleep" && argc == 3) {
    ::Sleep(DWORD(std::atoi(argv[2])));
    return 0;
  }
  if (command == "find") return WaitWindow(DWORD(std::atoi(argv[2]))) ? 0 : 1;
  if (command == "window" && argc == 5) {
    return Window(argv[2], std::atoi(argv[3]), DWORD(std::atoi(argv[4])));
  }
  if (command == "press" && argc == 5) {
    const HWND w = FindTitledWindow(argv[2], std::atoi(argv[3]));
    const int id = std::atoi(argv[4]);
    return w != nullptr && ::PostMessageW(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                          reinterpret_cast<LPARAM>(::GetDlgItem(w, id)))
               ? 0
               : 1;
  }
  if (command == "gone") {
    return WaitFor(DWORD(std::atoi(argv[2])), [] { return FindWindowOnce() == nullptr; }) ? 0 : 1;
  }
  const HWND hwnd = WaitWindow(5000);
  if (hwnd == nullptr) {
    Print("no Harrowbit window");
    return 1;
  }
  if (command == "dump") return Dump(hwnd);
  if (command == "view") return View(hwnd);
  if (command == "char" && argc == 3) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(hwnd, nullptr), &gui);
    return ::PostMessageW(gui.hwndFocus != nullptr ? gui.hwndFocus : hwnd, WM_CHAR,
                          static_cast<WPARAM>(std::atoi(argv[2])), 1)
               ? 0
               : 1;
  }
  if (command == "layout") return Layout(hwnd);
  // The waits below end when the window shows what a step asked of it: a loaded machine
  // may take any time to get there, and a fixed pause is either too long or too short.
  if (command == "wait-layout" && argc == 3) {
    if (WaitFor(DWORD(std::atoi(argv[2])), [&] { return Layout(hwnd, false) == 0; })) return 0;
    return Layout(hwnd);
  }
  if (command == "wait-shown" && argc == 4) {
    const std::string how = argv[2];
    const auto shown = [&] {
      const bool max = ::IsZoomed(hwnd) != 0;
      const bool min = ::IsIconic(hwnd) != 0;
      return how == "max" ? max : how == "min" ? min : !max && !min;
    };
    if (WaitFor(DWORD(std::atoi(argv[3])), shown)) return 0;
    Print("the window is not shown " + how);
    return 1;
  }
  // Until the window, frame and all, has this size: a restore may show the window before it
  // has its old size back.
  if (command == "wait-size" && argc == 5) {
    const LONG cx = std::atol(argv[2]);
    const LONG cy = std::atol(argv[3]);
    RECT w{};
    if (WaitFor(DWORD(std::atoi(argv[4])), [&] {
          ::GetWindowRect(hwnd, &w);
          return w.right - w.left == cx && w.bottom - w.top == cy;
        })) {
      return 0;
    }
    Print("the window is " + std::to_string(w.right - w.left) + "x" +
          std::to_string(w.bottom - w.top));
    return 1;
  }
  // "wait-focus 1006" until the report has the focus, "wait-focus !1006" until it has not.
  if (command == "wait-focus" && argc == 4) {
    const bool away = argv[2][0] == '!';
    const int id = std::atoi(argv[2] + (away ? 1 : 0));
    if (WaitFor(DWORD(std::atoi(argv[3])), [&] { return (FocusedId(hwnd) == id) != away; })) {
      return 0;
    }
    Print("focus on " + std::to_string(FocusedId(hwnd)));
    return 1;
  }
  // Until the report's selection starts at its beginning and covers something: whether it
  // covers all is for the caller to judge.
  if (command == "wait-selected" && argc == 3) {
    const HWND log = ::GetDlgItem(hwnd, IDC_LOG);
    const auto selected = [&] {
      DWORD from = 1;
      DWORD to = 0;
      ::SendMessageW(log, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                     reinterpret_cast<LPARAM>(&to));
      return from == 0 && to > 0;
    };
    if (WaitFor(DWORD(std::atoi(argv[2])), selected)) return 0;
    Print("nothing selected in the report");
    return 1;
  }
  // Until the report's summary line is in view.
  if (command == "wait-summary-seen" && argc == 3) {
    if (WaitFor(DWORD(std::atoi(argv[2])), [&] {
          const ReportView view = ViewOf(hwnd);
          return view.summary >= 0 && view.summaryAt != "-1,-1";
        })) {
      return 0;
    }
    Print("the summary is out of view");
    return 1;
  }
  if (command == "wait-text" && argc == 5) {
    const HWND c = ::GetDlgItem(hwnd, std::atoi(argv[2]));
    const std::wstring wanted = Wide(argv[3]);
    if (WaitFor(DWORD(std::atoi(argv[4])), [&] { return TextOf(c) == wanted; })) return 0;
    Print("control " + std::string(argv[2]) + " reads \"" + Utf8(TextOf(c)) + "\"");
    return 1;
  }
  if (command == "wait-log" && argc == 4) {
    const HWND c = ::GetDlgItem(hwnd, IDC_LOG);
    const std::wstring wanted = Wide(argv[2]);
    if (WaitFor(DWORD(std::atoi(argv[3])),
                [&] { return TextOf(c).find(wanted) != std::wstring::npos; })) {
      return 0;
    }
    Print("log lacks \"" + std::string(argv[2]) + "\"");
    return 1;
  }
  if (command == "click" && argc == 3) {
    const int id = std::atoi(argv[2]);
    return ::PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                          reinterpret_cast<LPARAM>(::GetDlgItem(hwnd, id)))
               ? 0
               : 1;
  }
  if (command == "esc" || command == "enter") {
    // Through the dialog's own loop, as a key press: to the control that has the focus.
    const WPARAM key = command == "esc" ? VK_ESCAPE : VK_RETURN;
    const LPARAM scan = command == "esc" ? 0x00010001 : 0x001C0001;
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(hwnd, nullptr), &gui);
    const HWND target = gui.hwndFocus != nullptr ? gui.hwndFocus : hwnd;
    ::PostMessageW(target, WM_KEYDOWN, key, scan);
    ::PostMessageW(target, WM_KEYUP, key, scan | static_cast<LPARAM>(0xC0000000));
    return 0;
  }
  if (command == "close") return ::PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0) ? 0 : 1;
  if (command == "size" && argc == 4) {
    return ::SetWindowPos(hwnd, nullptr, 0, 0, std::atoi(argv[2]), std::atoi(argv[3]),
                          SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE)
               ? 0
               : 1;
  }
  if (command == "show" && argc == 3) {
    const std::string how = argv[2];
    const int show = how == "max" ? SW_MAXIMIZE : how == "min" ? SW_MINIMIZE : SW_RESTORE;
    ::ShowWindowAsync(hwnd, show);
    return 0;
  }
  if (command == "browse" && (argc == 3 || argc == 4)) {
    return Browse(hwnd, DWORD(std::atoi(argv[2])), argc == 4 ? argv[3] : nullptr);
  }
  Print("unknown command");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Lines end in "\n" alone, as the script reading them expects.
  _setmode(_fileno(stdout), _O_BINARY);
  // Each command gets its own argv, with the program's name in front.
  std::vector<char*> args{argv[0]};
  for (int i = 1; i <= argc; ++i) {
    if (i < argc && std::strcmp(argv[i], "+") != 0) {
      args.push_back(argv[i]);
      continue;
    }
    const int status = RunOne(int(args.size()), args.data());
    if (status != 0) return status;
    args.resize(1);
  }
  return 0;
}
