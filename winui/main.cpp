// harrowbit.exe: the application object runs the dialog modally, as its only message
// loop, and the program ends when the dialog closes.

#include <windows.h>
// These build on windows.h.
#include <commctrl.h>
#include <objbase.h>

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
  CScanApp app;
  app.InitInstance();
  return 0;
}
