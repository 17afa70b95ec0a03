#pragma once

#include "scan/file_tester.h"

// Testers that decode in the calling thread: a file that crashes the decoder ends the
// process. `quick`: the check without audio synthesis; `strict`: with the format rules.
TesterFactory InProcessTesterFactory(bool quick = false, bool strict = false);
