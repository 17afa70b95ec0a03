#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/program.h"
#include "platform/win32_text.h"

// The C runtime's own split of the wide command line, the one its wmain gets (MinGW-w64's
// startup calls it so, and provides it over the UCRT too). CommandLineToArgvW would bring
// shell32, and user32 and gdi32 behind it, into every process: under Wine their loading
// cost each start, the decoder helpers' too, tens of milliseconds.
extern "C" {
struct HarrowbitStartupInfo {
  int newMode;
};
__declspec(dllimport) int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env,
                                                 int expandWildcards,
                                                 HarrowbitStartupInfo* startup);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  HarrowbitStartupInfo startup{0};
  if (::__wgetmainargs(&count, &wide, &environment, 0, &startup) < 0 || wide == nullptr) {
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(NarrowName(wide[i]));
  return arguments;
}

void PrepareStandardStreams() {
  // The report's bytes are UTF-8; a console shows them as such only when told. Standard
  // output stays in text mode: its lines end in "\r\n", as Windows programs read them.
  if (::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR ||
      ::GetFileType(::GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR) {
    ::SetConsoleOutputCP(CP_UTF8);
  }
  // A list of paths on standard input is bytes: no "\r\n" folding, no end at Ctrl-Z.
  ::_setmode(0, _O_BINARY);
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  if (handle != INVALID_HANDLE_VALUE && ::GetConsoleScreenBufferInfo(handle, &info)) {
    // The window, not the buffer: the buffer may be far wider than what shows.
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return columns;
  }
  return 80;
}

int InterruptedExitStatus(int) { return static_cast<int>(STATUS_CONTROL_C_EXIT); }

int BrokenPipeExitStatus() { return 141; }

// Windows has no such limit on handles worth counting.
int64_t RaisedOpenFileLimit() { return -1; }

int OpenForReading(const std::string& utf8Path) {
  return ::_wopen(SystemPath(utf8Path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void CloseDescriptor(int fd) { ::_close(fd); }
