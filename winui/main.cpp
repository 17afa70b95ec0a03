// harrowbit.exe: the application object runs the dialog modally, as its only message
// loop, and the program ends when the dialog closes.

#include <windows.h>
// These build on windows.h.
#include <commctrl.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "decode/helper_server.h"
#include "platform/program.h"
#include "winui/command_line.h"
#include "winui/scan_dlg.h"
#include "winui/window_tester.h"

namespace {

class CScanApp {
 public:
  CScanApp() = default;
  CScanApp(const CScanApp&) = delete;
  CScanApp& operator=(const CScanApp&) = delete;

  bool InitInstance() {
    // The progress bar's class, from the common controls 6 that the manifest asks for.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    // The folder browser is a shell object.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      CScanDlg dlg;
      dlg.m_testerFactory = WindowTesterFactory(dlg.m_state);
      dlg.m_strCmdLine = std::wstring(CommandLineTail(::GetCommandLineW()));
      dlg.DoModal();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return false;
  }
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Started by the window as its decoder helper: serve, and show nothing.
  std::vector<std::string> arguments = ProgramArguments(0, nullptr);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  if (const int helperStatus =
          MaybeRunDecoderHelper(static_cast<int>(arguments.size()), argv.data());
      helperStatus >= 0) {
    return helperStatus;
  }
  CScanApp app;
  app.InitInstance();
  return 0;
}
