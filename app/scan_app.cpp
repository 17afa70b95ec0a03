#include "app/scan_app.h"

#include <unistd.h>

#include "decode/isolated_tester.h"
#include "ui/scan_dlg.h"

namespace {

// The arguments after the program's name joined with one blank, as native bytes.
std::string JoinArguments(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

// The Qt-free decoder helper: beside this program in the build, under libexec when
// installed. One that loads Qt starts five times slower and, measured on tiny files,
// decodes markedly slower too.
std::filesystem::path DecoderHelper() {
  const std::filesystem::path self = CurrentExecutable();
  for (const char* relative : {"harrowbit-decoder", HARROWBIT_DECODER_FROM_BIN}) {
    const std::filesystem::path helper = self.parent_path() / relative;
    if (::access(helper.c_str(), X_OK) == 0) return helper;
  }
  return self;
}

}  // namespace

CScanApp::CScanApp(int& argc, char** argv)
    : m_app(argc, argv), m_strCmdLine(JoinArguments(argc, argv)) {
  QApplication::setApplicationName(QStringLiteral("Harrowbit"));
  QApplication::setApplicationVersion(QStringLiteral(HARROWBIT_VERSION));
  // The desktop entry's id: on Wayland the window's app id, by which docks find the entry
  // and its icon. On X11 the entry's StartupWMClass names the window's class, this
  // application name.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.harrowbit.Harrowbit"));
}

bool CScanApp::InitInstance() {
  CScanDlg dlg;
  // A cancel ends a helper stuck in a slow file at once, so the window can close.
  dlg.m_testerFactory =
      IsolatedTesterFactory(DecoderHelper(), {.cancelFd = dlg.m_state.CancelFd()});
  dlg.m_strCmdLine = m_strCmdLine;
  dlg.exec();
  return false;
}
