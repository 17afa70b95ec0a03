#pragma once

#include <string>

// The decoder helper's confinement: once confined, a process can read and seek what it
// already holds, use memory, time and its own threads, write to standard error and to its
// answers' descriptor, and end; opening a file, making a socket or a process, ptrace and
// the rest end it at once. POSIX (Linux): PR_SET_NO_NEW_PRIVS and a seccomp filter over
// every thread, so files reach a confined helper only as descriptors the scan passes it.
// Windows: the scan starts the helper with a token of less than the user's (Low integrity,
// no privileges) in a job that allows no other process and none of the desktop
// (sandbox_win32.h); the helper looks whether that took.

struct Confinement {
  bool confined = false;
  // When not confined: what this system lacks, for a line on standard error.
  std::string missing;
};

// What this system lacks for ConfineDecoderHelper, in a few words; empty when nothing.
// (Windows: what the calling helper lacks of what the scan gave it.)
std::string SandboxMissing();

// Confines the calling process, every thread of it, for good. `replies` is the one
// descriptor besides standard error that it may write to.
Confinement ConfineDecoderHelper(int replies);

// The exit status of a helper that was told to run confined or not at all, and could not
// be confined.
inline constexpr int kUnconfinedExitStatus = 78;
