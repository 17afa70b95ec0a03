#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "decode/helper_client.h"
#include "decode/helper_protocol.h"
#include "scan/file_verdict.h"

// What a step result is when the helper's work on the file ended without an answer.
inline constexpr int64_t kDecoderDied = -1000;

// The one place where what a check says of a file, or how a helper's work on it ended,
// becomes the file's verdict. A check's answers come in the order it gives them
// (check_answers.h), whether from a helper's pipe or from a check in this process.
class CVerdictBuilder {
 public:
  enum class Taken {
    kFact,     // a fact beside the verdict (codecs, a breach): read on
    kOpened,   // the file opened: its steps follow
    kRefused,  // the file did not open: its verdict is final
    kStep,     // a decode step: StepResult() says which
    kUnknown,  // no answer a check gives: the helper is not itself
  };

  // Forgets the file before.
  void Reset();
  // One answer, in the order the check gives them.
  Taken Take(const HelperMessage& answer);
  // The result of the last kStep answer: > 0 samples, 0 the clean end, < 0 a fault.
  int64_t StepResult() const { return m_nStep; }
  // The helper's work on this file ended as `exit` says: a crash is "CRASH", a kill or the
  // helper's limits "LIMIT", each with the furthest position known when the file had
  // opened; a stall or the sandbox ending it is no verdict on the file but a fault of the
  // run (a helper that could not be confined when it had to be stops the scan), and a
  // cancel is a cancel. Breaches taken in so far are dropped: that check did not finish.
  void TakeEnd(const HelperExit& exit);
  // No helper could be started for the file (`error` says why): a fault of the run that
  // ends it.
  void TakeStartFailure(const std::error_code& error);

  const FileVerdict& Verdict() const { return m_verdict; }
  FileVerdict TakeVerdict() { return std::move(m_verdict); }

 private:
  void TakeOpened(const HelperMessage& opened);
  void TakeCodec(const HelperMessage& codec);

  FileVerdict m_verdict;
  // A check of every codec says what the file holds just before it says whether it
  // opened, which starts the verdict afresh.
  std::optional<HelperMessage> m_codec;
  int64_t m_nStep = 0;
};
