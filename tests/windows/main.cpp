// The Windows suite's main: the test binary doubles as the decoder helper, which tries what
// its sandbox should forbid when a test asks it to (sandbox_test.cpp).

#include <gtest/gtest.h>

#include "decode/helper_server.h"
#include "tests/windows/helper_tries.h"

int main(int argc, char** argv) {
  if (const int status = MaybeRunDecoderHelper(argc, argv, TryWhatTheVariableNames); status >= 0) {
    return status;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
