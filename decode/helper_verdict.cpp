#include "decode/helper_verdict.h"

#include <algorithm>
#include <cstring>

#include "text/position_text.h"

bool TakeOpened(FileVerdict& verdict, const HelperMessage& opened) {
  verdict = {};
  verdict.opened = opened.value != 0;
  verdict.samples = opened.samples;
  verdict.length = opened.seconds;
  verdict.reason = opened.text;
  if (!verdict.opened) verdict.status = FileVerdict::Status::kError;
  return verdict.opened;
}

int64_t TakeStep(FileVerdict& verdict, const HelperMessage& step) {
  verdict.position = step.seconds;
  if (step.value < 0) {
    verdict.reason = step.text;
    verdict.status = FileVerdict::Status::kError;
  } else if (step.value == 0) {
    verdict.status = FileVerdict::Status::kOk;
  }
  return step.value;
}

void TakeHelperEnd(FileVerdict& verdict, const std::string& how, double lastPosition) {
  verdict.status = FileVerdict::Status::kError;
  verdict.decoderEnded = true;
  if (!verdict.opened) {
    verdict.reason = how;
    return;
  }
  verdict.position = std::max(verdict.position, lastPosition);
  verdict.reason = how + " @ " + FormatPosition(verdict.position);
}

void TakeStartFailure(FileVerdict& verdict, int error) {
  verdict = {};
  verdict.status = FileVerdict::Status::kNotChecked;
  verdict.reason = std::string("cannot start a decoder helper: ") + std::strerror(error);
}
