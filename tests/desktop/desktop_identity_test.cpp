// The program calls itself by its desktop entry's name: on Wayland the window's app id is
// that name, and docks find the entry, and its icon, by it. (On X11 the window's class does
// this; the window-class test checks it on a real X server.)

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <algorithm>

#include "app/scan_app.h"

namespace {

TEST(DesktopEntry, TheProgramNamesItsInstalledEntry) {
  char name[] = "harrowbit";
  char* argv[] = {name, nullptr};
  int argc = 1;
  CScanApp app(argc, argv);
  EXPECT_EQ((QGuiApplication::desktopFileName() + ".desktop").toStdString(),
            QFileInfo(HARROWBIT_DESKTOP_ENTRY).fileName().toStdString());
}

}  // namespace

namespace {

// "Open with Harrowbit" is offered for what the window checks: a folder, and a Vorbis file
// named ".ogg"; not for Opus or FLAC in Ogg, nor for the Ogg container at large, whose files
// the window would only say it did not check. A file damaged past recognition has only its
// name to go by, which ".oga" and ".opus" files share: it is checked from its folder.
TEST(DesktopEntry, OffersToOpenWhatTheWindowChecks) {
  QFile entry(HARROWBIT_DESKTOP_ENTRY);
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
  QStringList offered;
  for (const QString& line : QString::fromUtf8(entry.readAll()).split('\n')) {
    if (line.startsWith("MimeType=")) offered = line.mid(9).split(';', Qt::SkipEmptyParts);
  }
  const QMimeDatabase types;
  // A first page: 27 header bytes and a one-byte segment table, then the first packet.
  const QByteArray page = QByteArray("OggS", 4) + QByteArray(24, '\0');
  const struct {
    const char* name;
    QByteArray content;
    bool offered;
  } cases[] = {
      {"a.ogg", page + "\x01vorbis", true},
      {"A.OGG", page + "\x01vorbis", true},
      {"a.opus", page + "OpusHead", false},
      {"opus-named.ogg", page + "OpusHead", false},
      {"a.oga",
       page + "\x7F"
              "FLAC",
       false},
      {"damaged.ogg", QByteArray(64, '\x7F'), false},
      {"a.ogv", QByteArray(64, '\x7F'), false},
  };
  for (const auto& c : cases) {
    QBuffer data;
    data.setData(c.content);
    data.open(QIODevice::ReadOnly);
    const QString type = types.mimeTypeForFileNameAndData(c.name, &data).name();
    const bool matched = std::any_of(offered.begin(), offered.end(), [&](const QString& name) {
      return types.mimeTypeForName(type).inherits(name);
    });
    EXPECT_EQ(matched, c.offered) << c.name << " is " << type.toStdString();
  }
  EXPECT_TRUE(offered.contains("inode/directory"));
}

}  // namespace
