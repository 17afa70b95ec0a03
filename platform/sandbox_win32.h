#pragma once

// For the Win32 sources only: the decoder helper's confinement on Windows, which the scan
// gives the helper as it starts it (a token of less than the user's, limits on its job) and
// the helper looks for in itself before it reads a request, so that what it says is what
// the system did, not what it was asked.

#include <windows.h>

#include <string>

#include "platform/unique_handle_win32.h"

// A primary token of this process's with every privilege but traversal dropped and the
// integrity level lowered to Low, for CreateProcessAsUserW; invalid when the system would
// not make one (the helper then starts with this process's token, and says it lacks).
CUniqueHandle HelperToken();

// What the helper's job allows it beside the limits process_win32.cpp sets: no process
// besides itself, and none of the desktop's shared state (other windows, the clipboard,
// global atoms, system settings, logging off).
inline constexpr DWORD kHelperJobLimits = JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
inline constexpr DWORD kHelperActiveProcesses = 1;
inline constexpr DWORD kHelperUiLimits =
    JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS |
    JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS | JOB_OBJECT_UILIMIT_HANDLES |
    JOB_OBJECT_UILIMIT_READCLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS |
    JOB_OBJECT_UILIMIT_WRITECLIPBOARD;

inline constexpr DWORD kUnknownIntegrity = ~DWORD{0};

// What a process found of its own confinement.
struct HelperConfinementFacts {
  // Its token's integrity level (a SECURITY_MANDATORY_*_RID), above every level when it
  // cannot be read.
  DWORD integrity = kUnknownIntegrity;
  // It holds a privilege other than SeChangeNotifyPrivilege, or they cannot be read.
  bool privileged = true;
  bool inJob = false;
  // Its job's limits and UI restrictions, as the system reports them (0 when it does not).
  DWORD jobLimits = 0;
  DWORD activeProcesses = 0;
  DWORD uiLimits = 0;
};

// The calling process's.
HelperConfinementFacts ConfinementOfThisProcess();

// What `facts` lack of the helper's confinement, in a few words ("" when nothing).
std::string ConfinementLacks(const HelperConfinementFacts& facts);
