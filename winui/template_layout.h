#pragma once

// The dialog's layout from ui/dialog_template.h, for the Win32 sources: that header names
// the control ids as constants, which windows.h defines as macros, so the two meet only
// in template_layout.cpp.

struct PixelRect {
  int x;
  int y;
  int cx;
  int cy;
};

struct PlacedControl {
  int id;
  PixelRect rect;
};

// The dialog's base units: what MapDialogRect makes of a rectangle 4 units wide and 8 high.
struct DialogBaseUnits {
  int cx;
  int cy;
};

inline constexpr int kPlacedControls = 6;

// Every anchored control, in the order they move, where the template and the window's
// growth (dx, dy pixels since it opened) put it.
void PlaceControls(DialogBaseUnits units, int dx, int dy, PlacedControl (&out)[kPlacedControls]);

// The template's rectangle of a control, in dialog units; false for an unknown id.
bool TemplateRect(int id, PixelRect& dlu);

struct WindowSize {
  int cx;
  int cy;
};

// The template's client area at these base units: what the window's growth counts from.
WindowSize TemplateClientSize(DialogBaseUnits units);
// The smallest window at `dpi` within a work area (see ui/dialog_template.h).
WindowSize MinTrack(int dpi, WindowSize workArea);
// The client area the window opens with, inside the work area.
WindowSize OpeningClient(DialogBaseUnits units, WindowSize frame, WindowSize workArea, int dpi);
int LogTabStopUnits();
const char* BrowseTitle();
const char* DialogCaption();
