#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A breach of the Ogg format rules, or of its codec's (Vorbis, Opus, FLAC), that decoders forgive
// but players, seekers and taggers trip over. It never changes a file's verdict; --strict reports
// it beside.
enum class StructureRule {
  kJunkBetweenPages,
  kDataAfterEnd,
  kFirstPageNotBos,
  kBosNotFirst,
  kMissingEos,
  kPageAfterEos,
  kChainBeforeEos,
  kSequenceGap,
  kIdHeaderNotAlone,
  kHeaderPageGranule,
  kAudioOnHeaderPage,
  kGranuleOnUnfinishedPage,
  kGranuleMissing,
  kGranuleDecreasing,
  kGranuleNegative,
  kLengthMismatch,
  kCommentNoEquals,
  kCommentBadName,
  kCommentNotUtf8,
  kVendorNotUtf8,
  kPictureUndecodable,
  kFirstGranuleTooSmall,
  kPreSkipTooLong,
};

// Every rule, in declaration order.
std::vector<StructureRule> AllStructureRules();
// "junk-between-pages", ...: stable, distinct, for JSON, the database and tests.
const char* StructureRuleName(StructureRule rule);

struct StructureWarning {
  StructureRule rule;
  std::string text;
  // Where the breach is in the file: the first byte of the page (or of the stray bytes).
  int64_t byteOffset = 0;
  // Play time a player has reached there, from the start of the file, links added.
  double seconds = 0.0;
};

// "granule-missing @ 1.250 s, byte 20480: ..." for logs and test messages.
std::string DescribeWarning(const StructureWarning& warning);
