#pragma once

// A test binary doubles as the decoder helper that the testers it tests start: every test
// main begins with this.

#include "decode/helper_server.h"

#define HARROWBIT_SERVE_AS_DECODER_HELPER(argc, argv)                                    \
  do {                                                                                   \
    if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) { \
      return helperStatus;                                                               \
    }                                                                                    \
  } while (false)
