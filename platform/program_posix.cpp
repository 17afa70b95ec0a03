#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "platform/program.h"

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrepareStandardStreams() { std::signal(SIGPIPE, SIG_IGN); }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream) {
  winsize ws{};
  if (::ioctl(::fileno(stream), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int InterruptedExitStatus(int signal) { return 128 + signal; }

int BrokenPipeExitStatus() { return 128 + SIGPIPE; }

int64_t RaisedOpenFileLimit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return -1;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<int64_t>(files.rlim_cur);
}

int OpenForReading(const std::string& utf8Path) {
  return ::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC);
}

void CloseDescriptor(int fd) { ::close(fd); }
