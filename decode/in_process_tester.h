#pragma once

#include "scan/file_tester.h"

// Testers that decode in the calling thread: a file that crashes the decoder ends the
// process. `quick`: the check without audio synthesis. `allCodecs`: every Ogg codec, each
// by its own library (`quick` then holds for Vorbis only). `strict`: with the Ogg and
// Vorbis format rules, for a check of Vorbis only.
TesterFactory InProcessTesterFactory(bool quick = false, bool allCodecs = false,
                                     bool strict = false);
