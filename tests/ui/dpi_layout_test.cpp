// The window's layout at 96, 144 and 192 DPI, computed from the template as both windows
// lay it out (ui/dialog_template.h): on every screen, from 640 x 480 up, the window opens
// inside the work area with every control on it, whole, apart from the others; where the
// template fits it opens at the template's size. Built into ui_test and, for the Windows
// window, into winui_test.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/dialog_template.h"

namespace {

bool Inside(const DlgRect& r, PixelSize client) {
  return r.x >= 0 && r.y >= 0 && r.cx > 0 && r.cy > 0 && r.x + r.cx <= client.cx &&
         r.y + r.cy <= client.cy;
}

bool Overlap(const DlgRect& a, const DlgRect& b) {
  return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + b.cy && b.y < a.y + a.cy;
}

TEST(DpiLayout, EveryControlOnScreenAtEachDpi) {
  for (const int dpi : {96, 144, 192}) {
    // MS Sans Serif 8 has base units of 6 x 13 at 96 DPI; the frame is Windows 10's.
    const BaseUnits units{MulDiv(6, dpi, 96), MulDiv(13, dpi, 96)};
    const PixelSize frame{MulDiv(16, dpi, 96), MulDiv(39, dpi, 96)};
    const PixelSize templateClient{DluToPixelsX(kDialogRect.cx, units),
                                   DluToPixelsY(kDialogRect.cy, units)};
    for (const PixelSize area : {PixelSize{640, 480}, PixelSize{1024, 728}, PixelSize{1920, 1040},
                                 PixelSize{3840, 2120}}) {
      SCOPED_TRACE(std::to_string(dpi) + " DPI on " + std::to_string(area.cx) + "x" +
                   std::to_string(area.cy));
      const PixelSize client = OpeningClientSize(units, frame, area, dpi);
      EXPECT_LE(client.cx + frame.cx, area.cx);
      EXPECT_LE(client.cy + frame.cy, area.cy);
      if (templateClient.cx + frame.cx <= area.cx && templateClient.cy + frame.cy <= area.cy) {
        EXPECT_EQ(client, templateClient);
      }
      std::vector<DlgRect> placed;
      for (const Anchor& a : kAnchors) {
        placed.push_back(
            AnchoredRect(a, units, client.cx - templateClient.cx, client.cy - templateClient.cy));
        EXPECT_TRUE(Inside(placed.back(), client)) << a.id;
      }
      for (std::size_t i = 0; i < placed.size(); ++i) {
        for (std::size_t j = i + 1; j < placed.size(); ++j) {
          EXPECT_FALSE(Overlap(placed[i], placed[j])) << kAnchors[i].id << " " << kAnchors[j].id;
        }
      }
      // The report keeps room for lines to read.
      EXPECT_GE(placed[2].cy, 4 * units.cy);
    }
  }
}

TEST(DpiLayout, TheSmallestWindowScalesWithTheDpiWithinTheWorkArea) {
  const struct {
    int dpi;
    PixelSize area;
    PixelSize least;
  } rows[] = {
      {96, {1920, 1040}, {320, 240}},  {144, {1920, 1040}, {480, 360}},
      {192, {1920, 1040}, {640, 480}}, {192, {640, 440}, {640, 440}},
      {192, {600, 480}, {600, 480}},
  };
  for (const auto& r : rows) EXPECT_EQ(MinTrackSize(r.dpi, r.area), r.least) << r.dpi;
  // A work area smaller than the smallest window: the window is the work area.
  const BaseUnits units{12, 26};
  EXPECT_EQ(OpeningClientSize(units, {32, 78}, {600, 400}, 192), (PixelSize{568, 322}));
}

}  // namespace
