#pragma once

#include <filesystem>
#include <string>

#include "decode/codec_facts.h"
#include "decode/helper_protocol.h"
#include "filetest/codecs/check_traits.h"
#include "filetest/rules/structure_warning.h"

// What a check says of a file, as answers in the order it gives them: a check of every
// codec says what the file holds, a file that did not open its breaches, then whether it
// opened; each step after it, with the breaches and the audio hash just before the last. The helper
// sends these down its pipe and a check in this process hands them straight to CVerdictBuilder, so
// both say the same in the same order.

// The breaches of a strict check, once it has judged the file.
template <typename Check, typename Answer>
void AnswerWarnings(const Check& check, Answer&& answer) {
  if constexpr (kHoldsToRules<Check>) {
    for (const auto& w : check.Warnings()) {
      answer(HelperMessage{HelperMessage::kWarning, 0, w.byteOffset, w.seconds,
                           StructureRuleName(w.rule), w.text});
    }
    if (check.Judged())
      answer(HelperMessage{.type = HelperMessage::kWarningsEnd, .samples = check.Suppressed()});
  }
}

// Opens `path` and answers for it. Returns whether it opened.
template <typename Check, typename Answer>
bool AnswerOpen(Check& check, const std::filesystem::path& path, Answer&& answer) {
  const bool opened = check.Open(path);
  const double totalSeconds = opened ? check.TotalSeconds() : 0;
  if constexpr (kChecksEveryCodec<Check>) answer(CodecMessage(check));
  // A file that did not open has its breaches judged already: its verdict is final.
  if (!opened) AnswerWarnings(check, answer);
  answer(HelperMessage{HelperMessage::kOpened, opened, check.m_nTotalSamples, totalSeconds,
                       check.m_strError});
  return opened;
}

// Decodes one step and answers for it. Returns the step's result.
template <typename Check, typename Answer>
int AnswerStep(Check& check, Answer&& answer) {
  const int r = check.DecodeStep();
  if (r <= 0) AnswerWarnings(check, answer);
  if (const auto& hash = check.AudioHash(); r == 0 && hash) {
    answer(HelperMessage{.type = HelperMessage::kAudioHash,
                         .detail = std::string(hash->begin(), hash->end())});
  }
  answer(HelperMessage{HelperMessage::kStep, r, 0, check.PositionSeconds(),
                       r < 0 ? check.m_strError : std::string()});
  return r;
}
