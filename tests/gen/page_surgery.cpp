#include "tests/gen/page_surgery.h"

#include <utility>

namespace testgen {

int64_t OffsetOf(const std::vector<Page>& pages, std::size_t index) {
  int64_t offset = 0;
  for (std::size_t i = 0; i < index && i < pages.size(); ++i)
    offset += static_cast<int64_t>(pages[i].header.size() + pages[i].body.size());
  return offset;
}

void SetFlag(Page& page, unsigned char flag, bool on) {
  if (page.header.size() < kPageHeaderMin) return;
  page.header[kPageFlagsAt] = static_cast<unsigned char>(on ? (page.header[kPageFlagsAt] | flag)
                                                            : (page.header[kPageFlagsAt] & ~flag));
}

void Renumber(std::vector<Page>& pages, std::size_t from, int delta) {
  for (std::size_t i = from; i < pages.size(); ++i) {
    pages[i].SetSequence(static_cast<uint32_t>(static_cast<int64_t>(pages[i].Sequence()) + delta));
    pages[i].FixCrc();
  }
}

Page Merge(const Page& a, const Page& b) {
  const std::size_t segments = a.header[26] + std::size_t{b.header[26]};
  if (segments > 255) return {};
  Page merged;
  merged.header.assign(a.header.begin(), a.header.end());
  merged.header.insert(merged.header.end(), b.header.begin() + kPageHeaderMin, b.header.end());
  merged.header[26] = static_cast<unsigned char>(segments);
  merged.body = a.body;
  merged.body.insert(merged.body.end(), b.body.begin(), b.body.end());
  merged.SetGranule(b.Granule());
  merged.SetEos(b.Eos());
  merged.FixCrc();
  return merged;
}

void Merged(std::vector<Page>& pages, std::size_t at) {
  Page merged = Merge(pages[at], pages[at + 1]);
  pages.erase(pages.begin() + static_cast<std::ptrdiff_t>(at),
              pages.begin() + static_cast<std::ptrdiff_t>(at) + 2);
  pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(at), std::move(merged));
  Renumber(pages, at + 1, -1);
}

void PutLe32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

}  // namespace testgen
