#include "ui/dialog_template.h"

#include <algorithm>

int AverageCharWidth(int extentOf52Letters) { return (extentOf52Letters / 26 + 1) / 2; }

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const int64_t product = int64_t{a} * b;
  const int64_t half = (c < 0 ? -int64_t{c} : int64_t{c}) / 2;
  const bool negative = (product < 0) != (c < 0);
  const int64_t magnitude = ((product < 0 ? -product : product) + half) / (c < 0 ? -int64_t{c} : c);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

int DluToPixelsX(int dlu, BaseUnits units) { return MulDiv(dlu, units.cx, 4); }
int DluToPixelsY(int dlu, BaseUnits units) { return MulDiv(dlu, units.cy, 8); }

DlgRect DluToPixels(DlgRect dlu, BaseUnits units) {
  return {DluToPixelsX(dlu.x, units), DluToPixelsY(dlu.y, units), DluToPixelsX(dlu.cx, units),
          DluToPixelsY(dlu.cy, units)};
}

DlgRect AnchoredRect(const Anchor& anchor, BaseUnits units, int dx, int dy) {
  const auto t = std::find_if(kControls.begin(), kControls.end(),
                              [&](const ControlTemplate& c) { return c.id == anchor.id; });
  const DlgRect p = DluToPixels(t->rect, units);
  const int left = p.x + (anchor.left ? dx : 0);
  const int top = p.y + (anchor.top ? dy : 0);
  const int right = p.x + p.cx + (anchor.right ? dx : 0);
  const int bottom = p.y + p.cy + (anchor.bottom ? dy : 0);
  return {left, top, right - left, bottom - top};
}

PixelSize MinTrackSize(int dpi, PixelSize workArea) {
  return {std::min(MulDiv(kMinTrackWidth, dpi, 96), workArea.cx),
          std::min(MulDiv(kMinTrackHeight, dpi, 96), workArea.cy)};
}

PixelSize OpeningClientSize(BaseUnits units, PixelSize frame, PixelSize workArea, int dpi) {
  const PixelSize smallest = MinTrackSize(dpi, workArea);
  const PixelSize wanted{DluToPixelsX(kDialogRect.cx, units), DluToPixelsY(kDialogRect.cy, units)};
  const auto fit = [](int want, int frameSize, int area, int least) {
    return std::max(std::min(want, area - frameSize), least - frameSize);
  };
  return {fit(wanted.cx, frame.cx, workArea.cx, smallest.cx),
          fit(wanted.cy, frame.cy, workArea.cy, smallest.cy)};
}
