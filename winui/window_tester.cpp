#include "winui/window_tester.h"

#include "decode/in_process_tester.h"
#include "scan/scan_state.h"

TesterFactory WindowTesterFactory(const CScanState& state) {
  (void)state;  // the helper-process tester takes its cancel signal from here
  return InProcessTesterFactory();
}
