#pragma once

#include "scan/file_tester.h"

class CScanState;

// The one place where the Windows window chooses how files are decoded: in helper
// processes, each in a job object, so a file that crashes libvorbis gets its own verdict
// ("CRASH @ position") and cannot take the window down. The helper is this program itself
// (see main.cpp); a cancel ends the wait for a stuck helper at once.
TesterFactory WindowTesterFactory(const CScanState& state);
