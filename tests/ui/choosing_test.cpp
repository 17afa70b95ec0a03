// The three ways of naming what to scan: Browse, a drop, the command line.

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <fstream>
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
  };
  const Case cases[] = {
      {"a folder", {FileUrl(music)}, kLog, false, {a, b}},
      {"a folder and a file in it", {FileUrl(music), FileUrl(a)}, kPath, false, {a, a, b}},
      {"files in drop order", {FileUrl(single), FileUrl(b)}, kProgress, true, {single.native(), b}},
      {"a name that is not UTF-8", {FileUrl(notUtf8)}, kLog, true, {notUtf8.native()}},
      {"only other kinds of file", {FileUrl(music / "notes.txt")}, kLog, true, {}},
      {"a missing path", {FileUrl(dir / "missing")}, kPath, true, {}},
      {"not a local file", {QUrl("https://example.org/x.ogg")}, kLog, true, {}},
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
      QCoreApplication::processEvents();
      EXPECT_EQ(decoder.created.load(), scans);
      EXPECT_EQ(Log(w), before);
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
  struct Case {
    const char* name;
    std::string cmdLine;
    std::string report;  // empty: the window opens idle
  };
  const Case cases[] = {
      {"a quoted folder", "\"" + music.native() + "\"", "\n2 files, 0 errors"},
      {"one ogg file in upper case", track.native(),
       "[1/1]\t" + track.native() + "...OK\n1 files, 0 errors"},
      {"another kind of file", dir.Write("notes.txt").native(), ""},
      {"two quoted folders", "\"" + music.native() + "\" \"" + other.native() + "\"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    decoder.created = 0;
    CScanDlg& w = Open(c.cmdLine);
    if (c.report.empty()) {
      QCoreApplication::processEvents();
      EXPECT_EQ(decoder.created.load(), 0);
      EXPECT_TRUE(IsIdle(w));
      EXPECT_TRUE(Log(w).empty());
    } else {
      EXPECT_TRUE(WaitReport(w, c.report)) << Log(w);
    }
    EXPECT_TRUE(w.m_editPath->text().isEmpty());
  }
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
