#pragma once

#include "scan/file_tester.h"
#include "scan/scan_listener.h"
#include "scan/scan_state.h"
#include "scan/scan_window.h"

// The body of the worker thread for one scan: tests each listed file, builds the report
// and drives the window. Honours pause after every decode step and cancel before every
// step and every file. The starter calls state.PrepareStart() before it starts the
// worker. A listener, if given, hears each file's verdict as soon as it is known.
int ScanThreadProc(CScanState& state, IScanWindow& window, const TesterFactory& makeTester,
                   IScanListener* listener = nullptr);
