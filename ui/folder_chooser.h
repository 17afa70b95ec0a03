#pragma once

#include <QString>

class QWidget;

// The folder browser behind Browse. Returns the chosen folder, or an empty text when the
// user cancels. The program keeps nothing between runs, so the chooser's history and last
// folder live only as long as the process: Qt's chooser would otherwise keep them in the
// user's QtProject.conf, which every Qt program shares.
QString ChooseFolder(QWidget* owner, const QString& title);
