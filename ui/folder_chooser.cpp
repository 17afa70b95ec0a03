#include "ui/folder_chooser.h"

#include <QFileDialog>
#include <QSettings>

QString ChooseFolder(QWidget* owner, const QString& title) {
  // The chooser reads and writes the user's settings and cannot be told not to; settings
  // under a path that can never be a folder are neither read nor written. The program
  // itself keeps no settings, so nothing else is lost.
  for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
  }
  return QFileDialog::getExistingDirectory(owner, title);
}
