// One template for both windows: the Windows resource script's dialog and the table in
// ui/dialog_template.h that the Qt window and the Win32 window's layout read must say the
// same, control by control. The script is read as the resource compiler reads it.

#include "ui/dialog_template.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadText(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The ids the resource script names: resource.h's, and the two Windows defines itself.
std::map<std::string, int> ResourceIds() {
  std::map<std::string, int> ids{{"IDOK", 1}, {"IDCANCEL", 2}};
  const std::string header = ReadText(HARROWBIT_RESOURCE_H);
  const std::regex define(R"re(#define\s+(\w+)\s+(\d+))re");
  for (auto it = std::sregex_iterator(header.begin(), header.end(), define);
       it != std::sregex_iterator(); ++it) {
    ids[(*it)[1]] = std::stoi((*it)[2]);
  }
  return ids;
}

struct RcControl {
  std::string keyword;
  std::string text;
  int id = 0;
  DlgRect rect;
};

struct RcDialog {
  int id = 0;
  DlgRect rect;
  std::string caption;
  std::vector<RcControl> controls;
};

// The DIALOGEX block, its statements joined across continuation lines.
RcDialog ReadDialog() {
  const std::string script = ReadText(HARROWBIT_RC_IN);
  const std::map<std::string, int> ids = ResourceIds();
  auto idOf = [&](const std::string& name) {
    const auto found = ids.find(name);
    return found == ids.end() ? -1 : found->second;
  };
  RcDialog dialog;
  std::smatch m;
  const std::regex head(R"re((\w+)\s+DIALOGEX\s+(\d+),\s*(\d+),\s*(\d+),\s*(\d+))re");
  EXPECT_TRUE(std::regex_search(script, m, head)) << "no DIALOGEX in the script";
  if (m.empty()) return dialog;
  dialog.id = idOf(m[1]);
  dialog.rect = {std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), std::stoi(m[5])};
  const std::size_t from = std::size_t(m.position(0));
  const std::size_t begin = script.find("BEGIN", from);
  const std::size_t end = script.find("\nEND", begin);
  std::smatch caption;
  const std::string headText = script.substr(from, begin - from);
  if (std::regex_search(headText, caption, std::regex(R"re(CAPTION\s+"([^"]*)\")re"))) {
    dialog.caption = caption[1];
  }
  // Each control statement begins with its keyword; what follows up to the next keyword
  // is its continuation.
  std::string body = script.substr(begin + 5, end - begin - 5);
  body = std::regex_replace(body, std::regex(R"re(\s*\n\s*)re"), " ");
  const std::string number = R"re(\s*(\d+)\s*)re";
  const std::regex button(R"re((DEFPUSHBUTTON|PUSHBUTTON)\s+"([^"]*)",\s*(\w+),)re" + number + "," +
                          number + "," + number + "," + number);
  const std::regex edit(R"re((EDITTEXT)\s+(\w+),)re" + number + "," + number + "," + number + "," +
                        number);
  const std::regex control(R"re((CONTROL)\s+"([^"]*)",\s*(\w+),\s*"[^"]*",[^,]*,)re" + number +
                           "," + number + "," + number + "," + number);
  const std::regex any(R"re(\b(DEFPUSHBUTTON|PUSHBUTTON|EDITTEXT|CONTROL)\b)re");
  std::vector<std::size_t> starts;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), any); it != std::sregex_iterator();
       ++it) {
    starts.push_back(std::size_t(it->position(0)));
  }
  starts.push_back(body.size());
  for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
    const std::string statement = body.substr(starts[i], starts[i + 1] - starts[i]);
    std::smatch s;
    RcControl c;
    if (std::regex_search(statement, s, button) || std::regex_search(statement, s, control)) {
      c = {s[1],
           s[2],
           idOf(s[3]),
           {std::stoi(s[4]), std::stoi(s[5]), std::stoi(s[6]), std::stoi(s[7])}};
    } else if (std::regex_search(statement, s, edit)) {
      c = {s[1],
           "",
           idOf(s[2]),
           {std::stoi(s[3]), std::stoi(s[4]), std::stoi(s[5]), std::stoi(s[6])}};
    } else {
      ADD_FAILURE() << "unreadable control: " << statement;
      continue;
    }
    dialog.controls.push_back(c);
  }
  return dialog;
}

const char* KeywordOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::kDefPushButton: return "DEFPUSHBUTTON";
    case ControlKind::kPushButton: return "PUSHBUTTON";
    case ControlKind::kPathField:
    case ControlKind::kLogPane: return "EDITTEXT";
    case ControlKind::kProgressBar: return "CONTROL";
  }
  return "";
}

TEST(OneTemplate, TheResourceScriptsDialogIsTheTemplateTable) {
  const RcDialog dialog = ReadDialog();
  EXPECT_EQ(dialog.id, IDD_MAIN) << "the dialog's id";
  EXPECT_EQ(dialog.rect, kDialogRect) << "the dialog's size";
  EXPECT_EQ(dialog.caption, kDialogCaption);
  ASSERT_EQ(dialog.controls.size(), kControls.size()) << "controls in the script";
  for (std::size_t i = 0; i < kControls.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(i) + " in template (and tab) order");
    const RcControl& rc = dialog.controls[i];
    const ControlTemplate& t = kControls[i];
    EXPECT_EQ(rc.id, t.id) << "id";
    EXPECT_EQ(rc.keyword, KeywordOf(t.kind)) << "kind";
    EXPECT_EQ(rc.rect, t.rect) << "rectangle";
    // An edit control's template carries no text.
    if (rc.keyword != "EDITTEXT") {
      EXPECT_EQ(rc.text, t.text) << "text";
    }
  }
}

TEST(OneTemplate, TheIconIdIsTheTemplates) {
  EXPECT_EQ(ResourceIds()["IDR_MAINFRAME"], IDR_MAINFRAME);
  EXPECT_NE(ReadText(HARROWBIT_RC_IN).find("IDR_MAINFRAME ICON"), std::string::npos);
}

// Where each control stands after the window grew (or shrank) by dx, dy, at base units
// 6 x 13 (the template's 400 x 249 units are 600 x 405 pixels).
struct AnchorCase {
  const char* fault;
  int id;
  int dx;
  int dy;
  DlgRect expected;
};

TEST(OneTemplate, AnchoredRectFollowsOnlyTheAnchoredEdges) {
  const BaseUnits units{6, 13};
  const AnchorCase cases[] = {
      {"path field: only its right edge follows the width", IDC_PATH, 100, 50, {11, 11, 594, 21}},
      {"Browse: moves right, never down", IDC_BROWSE, 100, 50, {615, 11, 75, 21}},
      {"log pane: grows both ways", IDC_LOG, 100, 50, {11, 44, 679, 369}},
      {"progress bar: widens and moves down", IDC_PROGRESS, 100, 50, {11, 422, 510, 21}},
      {"Start: follows the lower right corner", IDOK, 100, 50, {531, 422, 75, 21}},
      {"Close: follows the lower right corner", IDCANCEL, 100, 50, {615, 422, 75, 21}},
      {"no growth: the template itself", IDC_LOG, 0, 0, {11, 44, 579, 319}},
      {"a shrink past zero keeps the arithmetic", IDC_PATH, -600, 0, {11, 11, -106, 21}},
  };
  for (const AnchorCase& c : cases) {
    const Anchor* anchor = nullptr;
    for (const Anchor& a : kAnchors) {
      if (a.id == c.id) anchor = &a;
    }
    ASSERT_NE(anchor, nullptr) << c.fault;
    EXPECT_EQ(AnchoredRect(*anchor, units, c.dx, c.dy), c.expected) << c.fault;
  }
}

}  // namespace
