#include "filetest/rules/structure_warning.h"

#include <cstdio>
#include <iterator>

namespace {

// In the order of StructureRule.
constexpr const char* kNames[] = {
    "junk-between-pages",      "data-after-end",       "first-page-not-bos",
    "bos-not-first",           "missing-eos",          "page-after-eos",
    "chain-before-eos",        "sequence-gap",         "id-header-not-alone",
    "header-page-granule",     "audio-on-header-page", "granule-on-unfinished-page",
    "granule-missing",         "granule-decreasing",   "granule-negative",
    "length-mismatch",         "comment-no-equals",    "comment-bad-name",
    "comment-not-utf8",        "vendor-not-utf8",      "picture-undecodable",
    "first-granule-too-small", "pre-skip-too-long",    "comment-length-overrun",
};
static_assert(std::size(kNames) == kStructureRuleCount);

}  // namespace

std::vector<StructureRule> AllStructureRules() {
  std::vector<StructureRule> all;
  for (std::size_t r = 0; r < std::size(kNames); ++r) all.push_back(static_cast<StructureRule>(r));
  return all;
}

const char* StructureRuleName(StructureRule rule) {
  const auto index = static_cast<std::size_t>(rule);
  return index < std::size(kNames) ? kNames[index] : "unknown";
}

std::string DescribeWarning(const StructureWarning& warning) {
  char where[96];
  std::snprintf(where, sizeof where, " @ %.3f s, byte %lld: ", warning.seconds,
                static_cast<long long>(warning.byteOffset));
  return StructureRuleName(warning.rule) + std::string(where) + warning.text;
}
