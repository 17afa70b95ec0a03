#include "scan/file_tester.h"

TesterFactory InProcessTesterFactory() {
  return [] { return std::make_unique<CInProcessTester>(); };
}
