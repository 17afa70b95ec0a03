#include "winui/template_layout.h"

#include <cstddef>

#include "ui/dialog_template.h"

static_assert(kAnchors.size() == kPlacedControls);

void PlaceControls(DialogBaseUnits units, int dx, int dy, PlacedControl (&out)[kPlacedControls]) {
  for (std::size_t i = 0; i < kAnchors.size(); ++i) {
    const DlgRect r = AnchoredRect(kAnchors[i], {units.cx, units.cy}, dx, dy);
    out[i] = {kAnchors[i].id, {r.x, r.y, r.cx, r.cy}};
  }
}

bool TemplateRect(int id, PixelRect& dlu) {
  for (const ControlTemplate& c : kControls) {
    if (c.id != id) continue;
    dlu = {c.rect.x, c.rect.y, c.rect.cx, c.rect.cy};
    return true;
  }
  return false;
}

WindowSize TemplateClientSize(DialogBaseUnits units) {
  const BaseUnits u{units.cx, units.cy};
  return {DluToPixelsX(kDialogRect.cx, u), DluToPixelsY(kDialogRect.cy, u)};
}

WindowSize MinTrack(int dpi, WindowSize workArea) {
  const PixelSize s = MinTrackSize(dpi, {workArea.cx, workArea.cy});
  return {s.cx, s.cy};
}

WindowSize OpeningClient(DialogBaseUnits units, WindowSize frame, WindowSize workArea, int dpi) {
  const PixelSize s = OpeningClientSize({units.cx, units.cy}, {frame.cx, frame.cy},
                                        {workArea.cx, workArea.cy}, dpi);
  return {s.cx, s.cy};
}
int LogTabStopUnits() { return kLogTabStop; }
const char* BrowseTitle() { return kBrowseTitle; }
const char* DialogCaption() { return kDialogCaption; }
