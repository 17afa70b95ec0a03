#include "winui/window_tester.h"

#include "decode/isolated_tester.h"
#include "platform/process.h"
#include "scan/scan_state.h"

TesterFactory WindowTesterFactory(const CScanState& state) {
  return IsolatedTesterFactory(CurrentExecutable(), {.cancelFd = state.CancelFd()});
}
