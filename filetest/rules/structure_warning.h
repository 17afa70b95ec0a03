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
  kCommentLengthOverrun,
};

inline constexpr std::size_t kStructureRuleCount =
    static_cast<std::size_t>(StructureRule::kCommentLengthOverrun) + 1;
// A rule broken more often is listed this many times; the rest are counted.
inline constexpr int kMaxListedPerRule = 10;
// The longest text of a breach, in bytes: a text that quotes a file (a field name) is cut
// there, with a marker, so that in every report and across the helper's pipe it is the
// same and never as long as the file makes it.
inline constexpr std::size_t kMaxWarningTextBytes = 300;

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
