#pragma once

// Page surgery shared by the generators of format breaches: every codec's file is cut and
// mended the same way, so a breach means the same bytes whatever the codec.

#include <cstdint>
#include <vector>

#include "tests/gen/ogg_gen.h"

namespace testgen {

inline constexpr std::size_t kPageHeaderMin = 27;
inline constexpr std::size_t kPageFlagsAt = 5;

// The byte where page `index` begins.
int64_t OffsetOf(const std::vector<Page>& pages, std::size_t index);
void SetFlag(Page& page, unsigned char flag, bool on);
// Sequence numbers from page `from` on moved by `delta`, CRCs mended.
void Renumber(std::vector<Page>& pages, std::size_t from, int delta);
// One page holding both: a's start and flags, b's granule position and end of stream.
// Empty header when the lacing does not fit one page.
Page Merge(const Page& a, const Page& b);
// Pages `at` and `at` + 1 merged in place, later pages renumbered.
void Merged(std::vector<Page>& pages, std::size_t at);
void PutLe32(Bytes& out, uint32_t value);

// The granule rules every codec shares, each broken at the middle page: `edited(index,
// edit)` is the file with page `index` edited, `add(rule, name, file, offset, seconds)`
// records the case.
template <typename Add, typename Edited>
void AddGranuleCases(const std::vector<Page>& pages, std::size_t middle, double beforeMiddle,
                     const Add& add, const Edited& edited) {
  const int64_t atMiddle = OffsetOf(pages, middle);
  add("granule-missing", "granule-missing", edited(middle, [](Page& p) { p.SetGranule(-1); }),
      atMiddle, beforeMiddle);
  const int64_t previous = pages[middle - 1].Granule();
  add("granule-decreasing", "granule-decreasing",
      edited(middle, [&](Page& p) { p.SetGranule(previous - 1); }), atMiddle, beforeMiddle);
  add("granule-negative", "granule-negative", edited(middle, [](Page& p) { p.SetGranule(-5); }),
      atMiddle, beforeMiddle);
}

}  // namespace testgen
