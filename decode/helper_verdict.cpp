#include "decode/helper_verdict.h"

#include <algorithm>
#include <cstring>

#include "filetest/codecs/opus_check.h"
#include "text/position_text.h"

void CVerdictBuilder::Reset() {
  m_verdict = {};
  m_codec.reset();
  m_nStep = 0;
}

CVerdictBuilder::Taken CVerdictBuilder::Take(const HelperMessage& answer) {
  FileVerdict& verdict = m_verdict;
  switch (answer.type) {
    case HelperMessage::kCodec: m_codec = answer; return Taken::kFact;
    case HelperMessage::kOpened:
      TakeOpened(answer);
      return verdict.opened ? Taken::kOpened : Taken::kRefused;
    case HelperMessage::kWarningsEnd:
      verdict.warningsNotListed += answer.samples;
      verdict.warningsKnown = true;
      return Taken::kFact;
    case HelperMessage::kWarning:
      verdict.warnings.push_back({answer.text, answer.detail, answer.samples, answer.seconds});
      return Taken::kFact;
    case HelperMessage::kAudioHash:
      if (answer.detail.size() != kAudioHashBytes) return Taken::kUnknown;
      verdict.audioHash.emplace();
      std::memcpy(verdict.audioHash->data(), answer.detail.data(), kAudioHashBytes);
      return Taken::kFact;
    case HelperMessage::kStep: break;
    default: return Taken::kUnknown;
  }
  m_nStep = answer.value;
  verdict.position = answer.seconds;
  if (m_nStep < 0) {
    verdict.reason = answer.text;
    verdict.status = FileVerdict::Status::kError;
  } else if (m_nStep == 0) {
    verdict.status =
        verdict.unsupported ? FileVerdict::Status::kNotChecked : FileVerdict::Status::kOk;
  }
  return Taken::kStep;
}

void CVerdictBuilder::TakeOpened(const HelperMessage& opened) {
  FileVerdict& verdict = m_verdict;
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
  if (m_codec) TakeCodec(*m_codec);
  m_codec.reset();
}

void CVerdictBuilder::TakeEnd(const HelperExit& exit) {
  using How = HelperExit::How;
  FileVerdict& verdict = m_verdict;
  verdict.audioHash.reset();
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
    // A sandbox's refusal says what the decoder tried, not what the file holds: it is the
    // run's to answer for, as a bug of the decoder or of the filter.
    case How::kSandboxed:
      verdict.status = FileVerdict::Status::kNotChecked;
      verdict.reason = "the decoder tried what its sandbox forbids and was ended";
      return;
    case How::kUnconfined:
      verdict.status = FileVerdict::Status::kNotChecked;
      verdict.stopsScan = true;
      verdict.reason =
          "the decoder helper cannot be confined here, and --require-sandbox forbids decoding "
          "unconfined";
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
  verdict.reason = FaultText(how, verdict.position);
}

void CVerdictBuilder::TakeStartFailure(const std::error_code& error) {
  Reset();
  FileVerdict& verdict = m_verdict;
  verdict.status = FileVerdict::Status::kNotChecked;
  verdict.stopsScan = true;
  verdict.reason = "cannot start a decoder helper: " + error.message();
}

void CVerdictBuilder::TakeCodec(const HelperMessage& codec) {
  FileVerdict& verdict = m_verdict;
  verdict.codec = codec.text;
  verdict.skippedLinks = codec.detail;
  verdict.md5Unverifiable = (codec.value & kCodecMd5Missing) != 0;
  verdict.unsupported = (codec.value & kCodecUnsupported) != 0;
  if (!verdict.unsupported) return;
  verdict.reason =
      (codec.value & kCodecDeclined) != 0
          ? verdict.codec + ": uses what its library does not implement (" + kNotImplemented + ")"
          : verdict.codec + ": not a codec Harrowbit checks";
}
