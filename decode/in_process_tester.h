#pragma once

#include "scan/check_mode.h"
#include "scan/file_tester.h"

// Testers that decode in the calling thread, each file the way `mode` asks: a file that
// crashes the decoder ends the process.
TesterFactory InProcessTesterFactory(CheckMode mode = {});
