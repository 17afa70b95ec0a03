// The test binary doubles as the decoder helper that isolated testers start.

#include <gtest/gtest.h>

#include "tests/support/helper_main.h"

int main(int argc, char** argv) {
  HARROWBIT_SERVE_AS_DECODER_HELPER(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
