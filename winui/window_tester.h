#pragma once

#include "scan/file_tester.h"

// The one place where the Windows window chooses how files are decoded. Today: in this
// process, so a file that crashes libvorbis ends the window. The helper-process tester
// (decode/isolated_tester.h, once decode/ builds for Windows) plugs in here, with the
// state's cancel signal, as app/scan_app.cpp does on Linux.
TesterFactory WindowTesterFactory(const class CScanState& state);
