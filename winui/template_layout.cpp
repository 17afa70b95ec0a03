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

int MinTrackWidth() { return kMinTrackWidth; }
int MinTrackHeight() { return kMinTrackHeight; }
int LogTabStopUnits() { return kLogTabStop; }
const char* BrowseTitle() { return kBrowseTitle; }
const char* DialogCaption() { return kDialogCaption; }
