#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filetest/rules/structure_warning.h"

struct CommentFault {
  StructureRule rule;
  std::string text;
};

// The breaches a codec's rules find in one packet, capped while they are collected: a
// header of millions of broken fields keeps kMaxListedPerRule of each rule and counts
// the rest, so that what a file holds never decides how much memory its check takes.
class CFaultList {
 public:
  void Add(StructureRule rule, std::string text) {
    if (Counts(rule)) m_listed.push_back({rule, std::move(text)});
  }
  // The same, with the text made by `text()` only when it is listed.
  template <typename MakeText>
  void AddMade(StructureRule rule, const MakeText& text) {
    if (Counts(rule)) m_listed.push_back({rule, text()});
  }
  const std::vector<CommentFault>& Listed() const { return m_listed; }
  int64_t Unlisted() const { return m_nUnlisted; }
  void Clear();

 private:
  // Counts a breach of `rule`; true when it is to be listed.
  bool Counts(StructureRule rule);

  std::vector<CommentFault> m_listed;
  std::array<int, kStructureRuleCount> m_perRule{};
  int64_t m_nUnlisted = 0;
};

struct CommentFieldsEnd {
  // Empty when the vendor string, the count and every field fit in the body; else what
  // runs past its end ("the vendor string", "comment 3"), where the check stopped.
  std::string overrun;
  // The bytes they take, when they fit.
  std::size_t used = 0;
};

// Checks the body of a comment header as Vorbis, Opus and FLAC share it (after the
// codec's magic: vendor string, field count, fields) against the comment format: every
// field "NAME=value", the name in 0x20-0x7D without "=", the vendor string and values
// UTF-8, a METADATA_BLOCK_PICTURE that decodes (base64 holding a FLAC picture block).
// Adds one fault per breach. A length that runs past the body ends the check; whether
// that is a breach of its own is the codec's to say (Vorbis's and Opus's decoders refuse
// such a header, so the verdict names it).
CommentFieldsEnd CheckCommentFields(std::string_view body, CFaultList& faults);

bool IsUtf8(std::string_view bytes);
