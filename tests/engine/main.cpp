// The test binary doubles as the decoder helper that isolated testers start.

#include <gtest/gtest.h>

#include "decode/isolated_tester.h"

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
