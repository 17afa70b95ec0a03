#include "decode/in_process_tester.h"

TesterFactory InProcessTesterFactory(bool quick) {
  if (quick) return [] { return std::make_unique<CInProcessTesterOf<COggQuickCheck>>(); };
  return [] { return std::make_unique<CInProcessTester>(); };
}
