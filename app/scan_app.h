#pragma once

#include <QApplication>
#include <string>

// The application: runs the window modally and ends when it closes.
class CScanApp {
 public:
  // Qt takes its own options out of argc and argv here.
  CScanApp(int& argc, char** argv);

  // Always false: the window's run is the whole program.
  bool InitInstance();

 private:
  QApplication m_app;
  // Everything after the program's name, as one path.
  std::string m_strCmdLine;
};
