#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "platform/program.h"
#include "platform/win32_text.h"

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(NarrowName(wide[i]));
  ::LocalFree(wide);
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
  return ::_wopen(WidePath(utf8Path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void CloseDescriptor(int fd) { ::_close(fd); }
