// The three ways of naming what to scan: Browse, a drop, the command line.

#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <fstream>
#include <functional>
#include <vector>

#include "decode/isolated_tester.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/ui_support.h"

using namespace uitest;

namespace {

std::vector<std::string> ListOf(const CScanDlg& w) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < w.m_state.m_fileList.Count(); ++i) {
    paths.push_back(w.m_state.m_fileList.Take(i)->path.native());
  }
  return paths;
}

// A file URL that keeps every byte of the name, as file managers send it.
QUrl FileUrl(const std::filesystem::path& p) {
  return QUrl::fromEncoded("file://" +
                           QByteArray::fromStdString(p.native()).toPercentEncoding("/"));
}

// Drags the items onto the window, over `target`, the way the window system delivers them.
bool Drop(CScanDlg& w, QWidget* target, const QList<QUrl>& urls) {
  QMimeData data;
  data.setUrls(urls);
  const QPoint at = target->geometry().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.windowHandle(), &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.windowHandle(), &drop);
  return true;
}

using Choosing = WindowTest;

TEST_F(Choosing, BrowseWritesTheFolderWithTheCaretBeforeItsLastCharacter) {
  TempDir dir;
  const auto first = dir.Write("first/a.ogg").parent_path();
  const QString second = QString::fromStdString((dir / "second").native()) + QString(200, 'x');
  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& w = Open();
  w.m_editPath->setText(QString::fromStdString(first.native()));
  w.OnOK();
  ASSERT_TRUE(decoder.WaitHeld());

  QString answer;
  w.m_chooseFolder = [&](QWidget* owner, const QString& title) {
    EXPECT_EQ(owner, &w);
    EXPECT_EQ(title, "Choose a folder to scan for ogg files:");
    return answer;
  };
  w.m_btnBrowse->click();  // cancelled
  EXPECT_EQ(w.m_editPath->text().toStdString(), first.native());
  answer = second;
  w.m_btnBrowse->click();
  EXPECT_EQ(w.m_editPath->text(), second);
  EXPECT_EQ(w.m_editPath->cursorPosition(), second.size() - 1);

  decoder.Release();
  ASSERT_TRUE(WaitIdle(w));  // the running scan kept to its folder
  EXPECT_EQ(Log(w), "[1/1]\t" + (first / "a.ogg").native() + "...OK\n1 files, 0 errors");
  EXPECT_EQ(decoder.created.load(), 1);
}

TEST_F(Choosing, TheFolderChooserLeavesNoHistoryForTheNextRun) {
  TempDir dir;
  const auto config = dir.path() / "config";
  const std::string seeded = "file://" + (dir / "seeded").native();
  // As an earlier run, or any other Qt program, would have left it.
  const std::string earlier = "[FileDialog]\nhistory=" + seeded + "\nlastVisited=" + seeded +
                              "\nqtVersion=" QT_VERSION_STR "\nviewMode=Detail\n";
  dir.Write("config/QtProject.conf", earlier);
  const auto music = dir.Write("music/a.ogg").parent_path();
  const QString folder = QString::fromStdString(music.native());
  // Where Qt looks for the user's settings: before the window's first use of them.
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.native()));
  qputenv("HOME", QByteArray::fromStdString(dir.path().native()));

  CScanDlg& w = Open();
  // The person picks the folder; anything else that comes up is a fault.
  QTimer person;
  QObject::connect(&person, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    auto* chooser = qobject_cast<QFileDialog*>(modal);
    if (chooser == nullptr) {
      ADD_FAILURE() << "not a folder chooser: " << modal->metaObject()->className();
      modal->close();
      return;
    }
    chooser->setDirectory(folder);
    static_cast<QDialog*>(chooser)->accept();
  });
  person.start(10);
  for (int run = 0; run < 2; ++run) {
    w.m_btnBrowse->click();
    EXPECT_EQ(w.m_editPath->text(), folder);
  }
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(config)) {
    left.push_back(entry.path().filename().native());
  }
  EXPECT_EQ(left, std::vector<std::string>{"QtProject.conf"});
  std::ifstream after(config / "QtProject.conf");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), earlier);
}

TEST_F(Choosing, DropsWhileIdleReplaceTheListAndStartWhenItIsNotEmpty) {
  TempDir dir;
  const auto music = dir.Write("music/a.ogg").parent_path();
  dir.Write("music/sub/b.OGG");
  dir.Write("music/.cache/c.ogg");
  dir.Write("music/notes.txt");
  const auto single = dir.Write("single.ogg");
  const auto notUtf8 = dir.Write("bad\xFF.ogg");
  const std::string a = (music / "a.ogg").native();
  const std::string b = (music / "sub/b.OGG").native();

  enum Target { kLog, kPath, kProgress };
  struct Case {
    const char* name;
    QList<QUrl> drop;
    Target target;
    bool ordered;                   // else the folder's listing order decides
    std::vector<std::string> list;  // empty: nothing starts
    std::string shown;              // with nothing to start: the report, else the last one stays
  };
  const Case cases[] = {
      {"a folder", {FileUrl(music)}, kLog, false, {a, b}, ""},
      {"a folder and a file in it", {FileUrl(music), FileUrl(a)}, kPath, false, {a, a, b}, ""},
      {"files in drop order",
       {FileUrl(single), FileUrl(b)},
       kProgress,
       true,
       {single.native(), b},
       ""},
      {"a name that is not UTF-8", {FileUrl(notUtf8)}, kLog, true, {notUtf8.native()}, ""},
      {"only other kinds of file", {FileUrl(music / "notes.txt")}, kLog, true, {}, ""},
      {"a missing path, which counts as a folder that cannot be read",
       {FileUrl(dir / "missing")},
       kPath,
       true,
       {},
       "Not checked: " + (dir / "missing").native() + " (No such file or directory)"},
      {"not a local file", {QUrl("https://example.org/x.ogg")}, kLog, true, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CScanDlg& w = Open();
    ASSERT_TRUE(Drop(w, w.m_editLog, {FileUrl(single)}));
    ASSERT_TRUE(WaitIdle(w));
    const std::string before = Log(w);
    const int scans = decoder.created;

    QWidget* const targets[] = {w.m_editLog, w.m_editPath, w.m_progress};
    ASSERT_TRUE(Drop(w, targets[c.target], c.drop));
    std::vector<std::string> list = ListOf(w);
    if (!c.ordered) std::sort(list.begin(), list.end());
    EXPECT_EQ(list, c.list);
    if (c.list.empty()) {
      const std::string shown = c.shown.empty() ? before : c.shown;
      EXPECT_TRUE(WaitUntil([&] { return Log(w) == shown; })) << Log(w);
      QCoreApplication::processEvents();
      EXPECT_EQ(decoder.created.load(), scans);
      EXPECT_TRUE(IsIdle(w));
    } else {
      EXPECT_TRUE(WaitReport(w, "\n" + std::to_string(c.list.size()) + " files, 0 errors"))
          << Log(w);
    }
    EXPECT_TRUE(w.m_editPath->text().isEmpty());
  }
}

TEST_F(Choosing, ADropDuringAScanJoinsItAndTheTotalsGrow) {
  TempDir dir;
  const auto first = dir.Write("first/a.ogg").parent_path();
  dir.Write("first/b.ogg");
  const auto more = dir.Write("more/c.ogg").parent_path();
  dir.Write("more/d.ogg");
  const auto single = dir.Write("e.ogg");
  decoder.Hold(FakeDecoder::kStep);
  CScanDlg& w = Open();
  ASSERT_TRUE(Drop(w, w.m_editLog, {FileUrl(first)}));
  ASSERT_TRUE(decoder.WaitHeld());
  ASSERT_TRUE(Drop(w, w.m_editLog, {FileUrl(more), FileUrl(single)}));
  decoder.Release();
  ASSERT_TRUE(WaitIdle(w));
  const std::vector<std::string> list = ListOf(w);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list.back(), single.native());
  std::string expected;
  for (std::size_t i = 0; i < list.size(); ++i) {
    expected += "[" + std::to_string(i + 1) + (i == 0 ? "/2]\t" : "/5]\t") + list[i] + "...OK\n";
  }
  EXPECT_EQ(Log(w), expected + "5 files, 0 errors");
  EXPECT_EQ(decoder.created.load(), 1);
}

TEST_F(Choosing, TheCommandLineIsOnePathScannedAsTheWindowOpens) {
  TempDir dir;
  const auto music = dir.Write("My Music/a.ogg").parent_path();
  dir.Write("My Music/b.ogg");
  const auto other = dir.Write("Other/c.ogg").parent_path();
  const auto track = dir.Write("TRACK.OGG");
  const std::string notes = dir.Write("notes.txt").native();
  const std::string oga = dir.Write("x.oga").native();
  const std::string quotedName = dir.Write("\"live\".ogg").native();
  const auto empty = dir.Write("Empty/notes.txt").parent_path();
  const std::string neither = "neither a folder nor a file whose name ends in \".ogg\"";
  struct Case {
    const char* name;
    std::string cmdLine;
    bool scans;          // else the window stays idle with the report as it is
    std::string report;  // its end, for a scan
  };
  const Case cases[] = {
      {"a quoted folder", "\"" + music.native() + "\"", true, "\n2 files, 0 errors"},
      {"one ogg file in upper case", track.native(), true,
       "[1/1]\t" + track.native() + "...OK\n1 files, 0 errors"},
      {"another kind of file", notes, false, "Not checked: " + notes + " (" + neither + ")"},
      {"an Ogg file that is not named .ogg", oga, false,
       "Not checked: " + oga + " (" + neither + ")"},
      {"a path that does not exist", (dir / "gone").native(), false,
       "Not checked: " + (dir / "gone").native() + " (No such file or directory)"},
      {"a folder without ogg files", empty.native(), false,
       "Not checked: " + empty.native() + " (no file in it has a name ending in \".ogg\")"},
      {"a name whose own quotes are removed", quotedName, false,
       "Not checked: " + quotedName + " (read as " + (dir / "live.ogg").native() +
           " once double quotes are removed: No such file or directory)"},
      {"two quoted folders", "\"" + music.native() + "\" \"" + other.native() + "\"", false,
       "Not checked: \"" + music.native() + "\" \"" + other.native() + "\" (read as " +
           music.native() + " " + other.native() +
           " once double quotes are removed: No such file or directory)"},
      {"only quotes", "\"\"", false,
       "Not checked: \"\" (nothing is left once double quotes are removed)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    decoder.created = 0;
    CScanDlg& w = Open(c.cmdLine);
    if (!c.scans) {
      EXPECT_TRUE(WaitUntil([&] { return Log(w) == c.report; })) << Log(w);
      QCoreApplication::processEvents();
      EXPECT_EQ(decoder.created.load(), 0);
      EXPECT_TRUE(IsIdle(w));
    } else {
      EXPECT_TRUE(WaitReport(w, c.report)) << Log(w);
    }
    EXPECT_TRUE(w.m_editPath->text().isEmpty());
  }
}

// Runs `body` with the file access rights of nobody on this thread, where collection runs:
// permissions do not bind root.
void AsNobody(const std::function<void()>& body) {
  const bool root = ::geteuid() == 0;
  if (root) {
    ::setfsgid(65534);
    ::setfsuid(65534);
  }
  body();
  if (root) {
    ::setfsuid(0);
    ::setfsgid(0);
  }
}

// Every folder that cannot be read is named before the summary, wherever it was met:
// under the folder Start checks, a dropped one, the command line's; and it is named even
// when nothing else was found.
TEST_F(Choosing, EachFolderThatCannotBeReadIsNamedInTheReport) {
  TempDir dir;
  const auto music = dir.Write("music/a.ogg").parent_path();
  dir.Write("music/locked/damaged.ogg");
  const auto locked = music / "locked";
  const auto alone = dir.Write("alone/x.ogg").parent_path();
  const auto more = dir.Write("more/b.ogg").parent_path();
  ::chmod(dir.path().c_str(), 0755);
  ::chmod(locked.c_str(), 0);
  ::chmod(alone.c_str(), 0);
  const std::string lockedLine = "Not checked: " + locked.native() + " (Permission denied)";
  const std::string aloneLine = "Not checked: " + alone.native() + " (Permission denied)";
  const std::string a = "[1/1]\t" + (music / "a.ogg").native() + "...OK\n";

  struct Case {
    const char* name;
    std::function<void(CScanDlg&)> give;
    std::string report;
  };
  const Case cases[] = {
      {"Start",
       [&](CScanDlg& w) {
         w.m_editPath->setText(QString::fromStdString(music.native()));
         w.OnOK();
       },
       a + lockedLine + "\n1 files, 0 errors"},
      {"a drop on an idle window", [&](CScanDlg& w) { Drop(w, w.m_editLog, {FileUrl(music)}); },
       a + lockedLine + "\n1 files, 0 errors"},
      {"a drop of nothing readable", [&](CScanDlg& w) { Drop(w, w.m_editLog, {FileUrl(alone)}); },
       aloneLine},
      {"a drop during a scan",
       [&](CScanDlg& w) {
         decoder.Hold(FakeDecoder::kStep);
         Drop(w, w.m_editLog, {FileUrl(more)});
         decoder.WaitHeld();
         Drop(w, w.m_editLog, {FileUrl(alone)});
         decoder.Release();
       },
       "[1/1]\t" + (more / "b.ogg").native() + "...OK\n" + aloneLine + "\n1 files, 0 errors"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CScanDlg& w = Open();
    AsNobody([&] { c.give(w); });
    EXPECT_TRUE(WaitUntil([&] { return IsIdle(w) && Log(w) == c.report; })) << Log(w);
  }
  AsNobody([&] { Open("\"" + music.native() + "\""); });
  EXPECT_TRUE(WaitReport(*dlg, a + lockedLine + "\n1 files, 0 errors")) << Log(*dlg);
  ::chmod(locked.c_str(), 0700);
  ::chmod(alone.c_str(), 0700);
}

TEST(RealFiles, TheWindowShowsWhatDecodingFound) {
  TempDir dir;
  ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", testgen::MakeCase(testgen::Damage::kClean)));
  ASSERT_TRUE(testgen::WriteBytes(dir / "hole.ogg", testgen::MakeCase(testgen::Damage::kDropPage)));
  ASSERT_TRUE(testgen::WriteBytes(dir / "text.ogg", testgen::MakeCase(testgen::Damage::kNotOgg)));
  CScanDlg w;
  w.m_testerFactory = IsolatedTesterFactory(HARROWBIT_DECODER);
  w.m_strCmdLine = dir.path().native();
  w.show();
  ASSERT_TRUE(WaitIdle(w));
  const std::string log = Log(w);
  EXPECT_NE(log.find("clean.ogg...OK\n"), std::string::npos) << log;
  EXPECT_NE(log.find("hole.ogg...ERROR (OV_HOLE @ 0m "), std::string::npos) << log;
  EXPECT_NE(log.find("text.ogg...ERROR (OV_ENOTVORBIS)"), std::string::npos) << log;
  EXPECT_NE(log.find("\n3 files, 2 errors ["), std::string::npos) << log;
}

TEST(RealFiles, AFileThatCrashesTheDecoderCostsOneVerdictNotTheWindow) {
  TempDir dir;
  // On a small stack the crafted codebook kills the decoder, as it would any process of
  // ordinary size.
  ASSERT_TRUE(testgen::WriteBytes(dir / "codebook.ogg", testgen::MakeHugeCodebook({.seconds = 1})));
  ASSERT_TRUE(testgen::WriteBytes(dir / "clean.ogg", testgen::EncodeTone({.seconds = 1})));
  CScanDlg w;
  w.m_testerFactory =
      IsolatedTesterFactory(HARROWBIT_DECODER, {.stackBytes = std::size_t{8} << 20});
  w.m_strCmdLine = dir.path().native();
  w.show();
  ASSERT_TRUE(WaitIdle(w));
  const std::string log = Log(w);
  EXPECT_NE(log.find("codebook.ogg...ERROR (CRASH @ 0m 00s)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("clean.ogg...OK\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\n2 files, 1 errors ["), std::string::npos) << log;
}

}  // namespace
