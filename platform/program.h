#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The running program where it meets its user: its arguments, the console or terminal it
// writes to, the files it reads lists from, and the exit statuses that say it was stopped.

// The arguments as UTF-8 (Windows: from the wide command line, never the ANSI code page).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Before the first output. Windows: a console shows UTF-8, and standard input gives its
// bytes unchanged; a write to a closed pipe fails with EPIPE everywhere instead of ending
// the program (SIGPIPE on POSIX).
void PrepareStandardStreams();

bool IsTerminal(std::FILE* stream);
// The width in columns of the terminal or console window, 80 when it cannot be told.
int TerminalColumns(std::FILE* stream);

// The exit status of a program stopped by `signal` (POSIX: 128 + signal; Windows, whose
// console events are named after signals here: STATUS_CONTROL_C_EXIT, as a Ctrl-C leaves
// any console program).
int InterruptedExitStatus(int signal);
// The exit status of a program whose output went to a pipe that closed: what SIGPIPE
// leaves on POSIX, 141, on both systems.
int BrokenPipeExitStatus();

// The limit on open descriptors, raised to its ceiling first; -1 when there is none.
int64_t RaisedOpenFileLimit();

// The C runtime's descriptor of a file opened for reading by its UTF-8 path, not passed on
// to child processes; -1 with errno. Standard input is descriptor 0.
int OpenForReading(const std::string& utf8Path);
void CloseDescriptor(int fd);
