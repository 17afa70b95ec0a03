#pragma once

#include <array>
#include <cstdint>

// The window's template: its controls with their rectangles in dialog units, which scale
// with the dialog font the way the Windows dialog manager scales them.

inline constexpr int IDD_MAIN = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_PATH = 1004;
inline constexpr int IDC_BROWSE = 1005;
inline constexpr int IDC_LOG = 1006;
inline constexpr int IDC_PROGRESS = 1007;

inline constexpr char kDialogCaption[] = "Harrowbit";
inline constexpr char kBrowseTitle[] = "Choose a folder to scan for ogg files:";

struct DlgRect {
  int x = 0;
  int y = 0;
  int cx = 0;
  int cy = 0;
  bool operator==(const DlgRect&) const = default;
};

enum class ControlKind { kDefPushButton, kPushButton, kPathField, kLogPane, kProgressBar };

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;
  DlgRect rect;  // dialog units
};

// Client area of the dialog, in dialog units.
inline constexpr DlgRect kDialogRect{0, 0, 400, 249};

// Template order, which is also the tab order.
inline constexpr std::array<ControlTemplate, 6> kControls{{
    {IDOK, ControlKind::kDefPushButton, "Start", {287, 229, 50, 13}},
    {IDCANCEL, ControlKind::kPushButton, "Close", {343, 229, 50, 13}},
    {IDC_PATH, ControlKind::kPathField, "", {7, 7, 329, 13}},
    {IDC_BROWSE, ControlKind::kPushButton, "Browse", {343, 7, 50, 13}},
    {IDC_LOG, ControlKind::kLogPane, "", {7, 27, 386, 196}},
    {IDC_PROGRESS, ControlKind::kProgressBar, "Progress1", {7, 229, 273, 13}},
}};

// Log pane tab stops, in horizontal dialog units.
inline constexpr int kLogTabStop = 40;

// Which edges of a control follow the window's growth: the left and right edges by the
// change in width, the top and bottom edges by the change in height.
struct Anchor {
  int id;
  bool left;
  bool top;
  bool right;
  bool bottom;
};

// In the order the controls are moved.
inline constexpr std::array<Anchor, 6> kAnchors{{
    {IDC_PATH, false, false, true, false},
    {IDC_BROWSE, true, false, true, false},
    {IDC_LOG, false, false, true, true},
    {IDC_PROGRESS, false, true, true, true},
    {IDOK, true, true, true, true},
    {IDCANCEL, true, true, true, true},
}};

// The smallest the whole window may become, frame included, in pixels at 96 DPI.
inline constexpr int kMinTrackWidth = 320;
inline constexpr int kMinTrackHeight = 240;

// Dialog base units: the dialog font's average character width and its height in pixels.
struct BaseUnits {
  int cx;
  int cy;
};

// Windows' average character width: the extent of "A".."Z" "a".."z" over 52, rounded.
int AverageCharWidth(int extentOf52Letters);

// a * b / c rounded half away from zero, as Windows' MulDiv does; -1 when c is 0.
int MulDiv(int a, int b, int c);

int DluToPixelsX(int dlu, BaseUnits units);
int DluToPixelsY(int dlu, BaseUnits units);
// Position and size are scaled each on its own, as the dialog manager does for a control.
DlgRect DluToPixels(DlgRect dlu, BaseUnits units);

// Where the anchored control stands, in client pixels, once the window has grown by dx, dy
// pixels since it opened. Always from the template, never from where the control stands
// now: a control shrunk past zero size reads back as 0, and the layout would drift after
// every deep shrink. Both windows, Qt and Win32, lay out by this.
DlgRect AnchoredRect(const Anchor& anchor, BaseUnits units, int dx, int dy);

struct PixelSize {
  int cx = 0;
  int cy = 0;
  bool operator==(const PixelSize&) const = default;
};

// The smallest window at `dpi`, scaled from 96 DPI, but never more than the work area: a
// window that cannot shrink into the screen leaves its buttons off it.
PixelSize MinTrackSize(int dpi, PixelSize workArea);

// The client area the window opens with: the template's at these base units, smaller
// where the window (the client and a `frame` of that much more) would not fit in the work
// area, but not below the smallest window. At 192 DPI the template is some 1,200 pixels
// wide, and a 640 x 480 screen must still show every control.
PixelSize OpeningClientSize(BaseUnits units, PixelSize frame, PixelSize workArea, int dpi);
