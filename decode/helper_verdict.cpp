#include "decode/helper_verdict.h"

#include <algorithm>
#include <cstring>

#include "filetest/opus_check.h"
#include "text/position_text.h"

bool TakeOpened(FileVerdict& verdict, const HelperMessage& opened) {
  FileVerdict fresh;
  if (opened.value == 0) {
    fresh.warnings = std::move(verdict.warnings);
    fresh.warningsNotListed = verdict.warningsNotListed;
    fresh.warningsKnown = verdict.warningsKnown;
  }
  verdict = std::move(fresh);
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
    verdict.status =
        verdict.unsupported ? FileVerdict::Status::kNotChecked : FileVerdict::Status::kOk;
  }
  return step.value;
}

bool IsWarning(const HelperMessage& message) {
  return message.type == HelperMessage::kWarning || message.type == HelperMessage::kWarningsEnd;
}

void TakeWarning(FileVerdict& verdict, const HelperMessage& warning) {
  if (warning.type == HelperMessage::kWarningsEnd) {
    verdict.warningsNotListed += warning.samples;
    verdict.warningsKnown = true;
    return;
  }
  const std::size_t tab = warning.text.find('\t');
  FileVerdict::Warning w;
  w.name = warning.text.substr(0, tab);
  if (tab != std::string::npos) w.text = warning.text.substr(tab + 1);
  w.offset = warning.samples;
  w.position = warning.seconds;
  verdict.warnings.push_back(std::move(w));
}

void TakeHelperEnd(FileVerdict& verdict, const HelperExit& exit) {
  using How = HelperExit::How;
  verdict.warnings.clear();
  verdict.warningsNotListed = 0;
  verdict.warningsKnown = false;
  switch (exit.how) {
    case How::kCancelled: verdict.status = FileVerdict::Status::kCancelled; return;
    case How::kStalled:
      verdict.status = FileVerdict::Status::kNotChecked;
      verdict.reason =
          "the decoder stopped making progress without using the processor (stopped, or "
          "waiting on a file system that does not answer)";
      return;
    case How::kCrashed:
    case How::kKilled:
    case How::kOverLimit: break;
  }
  const std::string how = exit.how == How::kCrashed ? "CRASH" : "LIMIT";
  verdict.status = FileVerdict::Status::kError;
  verdict.overLimit = exit.how != How::kCrashed;
  if (!verdict.opened) {
    verdict.reason = how;
    return;
  }
  verdict.position = std::max(verdict.position, exit.lastPosition);
  verdict.reason = how + " @ " + FormatPosition(verdict.position);
}

void TakeStartFailure(FileVerdict& verdict, int error) {
  verdict = {};
  verdict.status = FileVerdict::Status::kNotChecked;
  verdict.stopsScan = true;
  verdict.reason = std::string("cannot start a decoder helper: ") + std::strerror(error);
}

void TakeCodec(FileVerdict& verdict, const HelperMessage& codec) {
  const std::size_t slash = codec.text.find('/');
  verdict.codec = codec.text.substr(0, slash);
  verdict.skippedLinks = slash == std::string::npos ? std::string() : codec.text.substr(slash + 1);
  verdict.md5Unverifiable = (codec.value & kCodecMd5Missing) != 0;
  verdict.unsupported = (codec.value & kCodecUnsupported) != 0;
  if (!verdict.unsupported) return;
  verdict.reason =
      (codec.value & kCodecDeclined) != 0
          ? verdict.codec + ": uses what its library does not implement (" + kNotImplemented + ")"
          : verdict.codec + ": not a codec Harrowbit checks";
}
